// The folder walk: depth first, each folder's names in the order the system
// lists them, a subfolder's whole content at the place of its name.
//
// A folder's names are read in full and its listing closed before the walk
// goes down, so one listing is open at a time whatever the depth. The
// names of the folders on the way down wait on one name stack; past
// kNameStackLimit bytes (a folder of some hundred thousand names) a folder is
// walked with its listing held open instead, as the rest of its names come.
// Each folder on the way down has a frame (its place in the walk); the
// frames are records in one block, not calls, so depth costs no stack.
//
// One path buffer serves the whole walk: each frame appends a name behind
// its folder's path, so the archive name is always the tail of the full path.
//
// Under rules, each name is first put to the filter (name_filter.h), which
// says whether to pack it, skip it or walk into it; a folder's names may be
// sorted once listed; folders and links may be visited as items of their own.
#include <algorithm>
#include <cstring>

#include "entry/folder_set.h"
#include "entry/name_filter.h"
#include "entry/pack_folder.h"
#include "zipfolder.h"

namespace zf {
namespace {

inline constexpr std::size_t kNameStackLimit = std::size_t{16} << 20;
// Each frame adds a separator and at least one character to the path.
inline constexpr std::size_t kMostFrames = kMaxPathBytes / 2 + 1;

// A block that grows by doubling up to a bound, keeping its first bytes.
struct GrowingBlock {
  std::uint8_t* bytes;
  std::size_t capacity;
};

bool Reserve(GrowingBlock* block, std::size_t used, std::size_t needed, std::size_t bound) {
  if (needed <= block->capacity) return true;
  if (needed > bound) return false;
  std::size_t capacity = block->capacity == 0 ? 4096 : block->capacity * 2;
  if (capacity < needed) capacity = needed;
  if (capacity > bound) capacity = bound;
  auto* bytes = static_cast<std::uint8_t*>(OsAllocate(capacity));
  if (bytes == nullptr) return false;
  if (used != 0) std::memcpy(bytes, block->bytes, used);
  OsRelease(block->bytes);
  block->bytes = bytes;
  block->capacity = capacity;
  return true;
}

struct Frame {
  std::size_t folderLength;  // the folder's path in the path buffer
  std::size_t namesStart;    // its names on the name stack
  std::size_t nextName;
  std::size_t namesEnd;
  OsFolderScan* scan;   // still open only when the names did not all fit
  const char* pending;  // a name from scan that did not fit, not yet walked
  OsFolderId id;
  bool known;
  std::uint64_t visitsBefore;  // the walk's visits when the folder was entered
};

struct Walk {
  const WalkVisitor* visitor;
  char* path;  // kMaxPathBytes bytes
  std::size_t rootLength;
  GrowingBlock names;
  std::size_t namesUsed;
  GrowingBlock frames;  // Frame records
  std::size_t depth;
  FolderSet entered;
  bool setFull;  // a folder did not fit in the set: only then can an ancestor be missing from it
  const WalkRules* rules;
  std::uint64_t visits;  // files and items visited so far
};

constexpr WalkRules kPlainRules{};

Frame* FrameAt(Walk* walk, std::size_t index) {
  return reinterpret_cast<Frame*>(walk->frames.bytes) + index;
}

bool IsDotName(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// On a system whose separator is "/", a backslash in a name would turn into
// a false folder inside the archive.
bool HasForeignSeparator(const char* name) {
  return kPathSeparator != '\\' && std::strchr(name, '\\') != nullptr;
}

void PassOver(const Walk& walk, WalkSkip why) {
  if (walk.visitor->passedOver != nullptr)
    walk.visitor->passedOver(walk.visitor->context, walk.path, why);
}

// The listing's next name but "." and "..". When the listing breaks off, the
// folder at the path is told of as unlisted, so that the names it did not
// give are not lost without a word.
const char* NextListedName(const Walk& walk, OsFolderScan* scan) {
  const char* name;
  do {
    name = OsNextName(scan);
  } while (name != nullptr && IsDotName(name));
  if (name == nullptr && OsListingFailed(scan)) PassOver(walk, WalkSkip::kFolderUnlisted);
  return name;
}

bool ComesBefore(const char* a, const char* b) { return std::strcmp(a, b) < 0; }

// Puts the frame's names in the byte order of their UTF-8 (strcmp compares
// bytes as unsigned); false when memory is short.
bool SortNames(Walk* walk, const Frame* frame) {
  const std::size_t bytes = frame->namesEnd - frame->namesStart;
  std::size_t count = 0;
  char* names = reinterpret_cast<char*>(walk->names.bytes) + frame->namesStart;
  for (std::size_t at = 0; at < bytes; at += std::strlen(names + at) + 1) ++count;
  if (count < 2) return true;
  auto* order = static_cast<const char**>(OsAllocate(count * sizeof(char*) + bytes));
  if (order == nullptr) return false;
  char* copy = reinterpret_cast<char*>(order + count);
  std::memcpy(copy, names, bytes);
  std::size_t n = 0;
  for (std::size_t at = 0; at < bytes; at += std::strlen(copy + at) + 1) order[n++] = copy + at;
  std::sort(order, order + count, ComesBefore);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t length = std::strlen(order[i]) + 1;
    std::memcpy(names, order[i], length);
    names += length;
  }
  OsRelease(order);
  return true;
}

// Reads the names of the folder at the path onto the name stack; false when
// it cannot be listed.
bool ListFolder(Walk* walk, Frame* frame) {
  frame->namesStart = frame->nextName = frame->namesEnd = walk->namesUsed;
  frame->scan = nullptr;
  frame->pending = nullptr;
  OsFolderScan* scan = OsOpenFolder(walk->path);
  const WalkVisitor* visitor = walk->visitor;
  if (scan == nullptr && OsIsShortage(OsLastError()) && visitor->makeRoom != nullptr &&
      visitor->makeRoom(visitor->context)) {
    scan = OsOpenFolder(walk->path);
  }
  if (scan == nullptr) return false;
  while (const char* name = NextListedName(*walk, scan)) {
    const std::size_t bytes = std::strlen(name) + 1;
    if (!Reserve(&walk->names, walk->namesUsed, walk->namesUsed + bytes, kNameStackLimit)) {
      frame->scan = scan;
      frame->pending = name;
      break;
    }
    std::memcpy(walk->names.bytes + walk->namesUsed, name, bytes);
    walk->namesUsed += bytes;
  }
  frame->namesEnd = walk->namesUsed;
  if (frame->scan == nullptr) OsCloseFolder(scan);
  return true;
}

// The frame's next name, or null when it has no more.
const char* NextName(Walk* walk, Frame* frame) {
  if (frame->nextName < frame->namesEnd) {
    const char* name = reinterpret_cast<const char*>(walk->names.bytes) + frame->nextName;
    frame->nextName += std::strlen(name) + 1;
    return name;
  }
  if (frame->pending != nullptr) {
    const char* name = frame->pending;
    frame->pending = nullptr;
    return name;
  }
  if (frame->scan == nullptr) return nullptr;
  walk->path[frame->folderLength] = 0;
  return NextListedName(*walk, frame->scan);
}

void PopLevel(Walk* walk) {
  Frame* frame = FrameAt(walk, walk->depth - 1);
  OsCloseFolder(frame->scan);
  walk->namesUsed = frame->namesStart;
  walk->depth -= 1;
  if (walk->rules->filter != nullptr) NameFilterLeave(walk->rules->filter);
}

// The name below the root of the folder whose path ends at folderLength;
// for the root, the empty tail of its path, so that every name the walk
// gives is a tail of its path.
const char* RelativeName(const Walk& walk, std::size_t folderLength) {
  return walk.path + (folderLength > walk.rootLength ? walk.rootLength + 1 : folderLength);
}

// The folder whose path ends at folderLength, visited as an item when the
// rules ask for folder entries of its kind. False when the visitor stops.
bool VisitFolder(Walk* walk, std::size_t folderLength, std::int32_t kind) {
  const WalkVisitor& visitor = *walk->visitor;
  if (walk->rules->folders != kind || visitor.visitItem == nullptr ||
      (folderLength <= walk->rootLength && !walk->rules->rootItem)) {
    return true;
  }
  walk->path[folderLength] = 0;
  walk->visits += 1;
  return visitor.visitItem(visitor.context, walk->path, RelativeName(*walk, folderLength),
                           WalkItem::kFolder);
}

// Leaves the top frame; a folder that got nothing is visited as an item
// first when the rules ask for empty folders. False when the visitor stops.
bool FinishLevel(Walk* walk) {
  const Frame* frame = FrameAt(walk, walk->depth - 1);
  const bool empty = walk->visits == frame->visitsBefore;
  const std::size_t folderLength = frame->folderLength;
  PopLevel(walk);
  return !empty || VisitFolder(walk, folderLength, ZIPFOLDER_FOLDERS_EMPTY);
}

bool IsOnWalkPath(Walk* walk, const OsFolderId& id) {
  for (std::size_t i = 0; i < walk->depth; ++i) {
    const Frame* frame = FrameAt(walk, i);
    if (frame->known && frame->id.volume == id.volume && frame->id.index == id.index) return true;
  }
  return false;
}

// Goes down into the folder at the path, unless it was entered before: its
// files are stored once, under the first path that reached it. False when
// the visitor stops.
bool EnterFolder(Walk* walk, std::size_t folderLength) {
  OsFolderId id{};
  const bool known = OsGetFolderId(walk->path, &id);
  if (known &&
      (FolderSetContains(walk->entered, id) || (walk->setFull && IsOnWalkPath(walk, id)))) {
    return true;
  }
  const WalkVisitor* visitor = walk->visitor;
  const auto reserveLevel = [walk] {
    return Reserve(&walk->frames, walk->depth * sizeof(Frame), (walk->depth + 1) * sizeof(Frame),
                   kMostFrames * sizeof(Frame));
  };
  // Short of memory below the bound, the visitor may have some to give.
  const bool room = reserveLevel() || (walk->depth < kMostFrames && visitor->makeRoom != nullptr &&
                                       visitor->makeRoom(visitor->context) && reserveLevel());
  if (!room) {
    PassOver(*walk, WalkSkip::kNoMemory);
    return true;
  }
  Frame* frame = FrameAt(walk, walk->depth);
  frame->folderLength = folderLength;
  frame->id = id;
  frame->known = known;
  frame->visitsBefore = walk->visits;
  // The root too: a caller that got this far had it listed once already.
  if (!ListFolder(walk, frame)) {
    PassOver(*walk, WalkSkip::kFolderUnlisted);
    return true;
  }
  NameFilter* filter = walk->rules->filter;
  // Names in an unknown order, or rules that could not be read, would make
  // another archive than the one asked for.
  if ((walk->rules->sort && !SortNames(walk, frame)) ||
      (filter != nullptr &&
       !NameFilterEnter(filter, walk->path, RelativeName(*walk, folderLength)))) {
    OsCloseFolder(frame->scan);
    walk->namesUsed = frame->namesStart;
    PassOver(*walk, WalkSkip::kNoMemory);
    return true;
  }
  // A full set only forgets; the check of the way down still ends loops.
  if (known && !FolderSetInsert(&walk->entered, id)) walk->setFull = true;
  walk->depth += 1;
  return VisitFolder(walk, folderLength, ZIPFOLDER_FOLDERS_ALL);
}

// Visits what the top frame names next. False when the visitor stops.
bool WalkName(Walk* walk, Frame* frame, const char* name) {
  const std::size_t folderLength = frame->folderLength;
  const std::size_t nameLength = std::strlen(name);
  walk->path[folderLength] = 0;
  if (folderLength + 1 + nameLength >= kMaxPathBytes) {
    PassOver(*walk, WalkSkip::kPathTooLong);
    return true;
  }
  walk->path[folderLength] = kPathSeparator;
  std::memcpy(walk->path + folderLength + 1, name, nameLength + 1);
  if (HasForeignSeparator(name)) {
    PassOver(*walk, WalkSkip::kNameUnusable);
    return true;
  }
  const WalkRules& rules = *walk->rules;
  const WalkVisitor& visitor = *walk->visitor;
  const char* relative = walk->path + walk->rootLength + 1;
  const bool link = rules.keepLinks && OsIsLink(walk->path);
  const bool folder = !link && OsIsFolder(walk->path);
  if (rules.filter != nullptr &&
      NameFilterChoose(rules.filter, relative, folder) == NameChoice::kSkip) {
    if (visitor.excluded != nullptr) visitor.excluded(visitor.context, walk->path);
    return true;
  }
  if (folder) return EnterFolder(walk, folderLength + 1 + nameLength);
  walk->visits += 1;
  if (link) {
    return visitor.visitItem == nullptr ||
           visitor.visitItem(visitor.context, walk->path, relative, WalkItem::kLink);
  }
  return visitor.visitFile(visitor.context, walk->path, relative);
}

}  // namespace

bool WalkFolder(const WalkVisitor& visitor, const char* folder, const char* root,
                const WalkRules* rules) {
  const std::size_t folderLength = std::strlen(folder);
  if (folderLength >= kMaxPathBytes) return true;
  Walk walk{};
  walk.visitor = &visitor;
  walk.rules = rules != nullptr ? rules : &kPlainRules;
  walk.rootLength = std::strlen(root);
  walk.path = static_cast<char*>(OsAllocate(kMaxPathBytes));
  if (walk.path == nullptr) {
    if (visitor.passedOver != nullptr)
      visitor.passedOver(visitor.context, folder, WalkSkip::kNoMemory);
    return true;
  }
  std::memcpy(walk.path, folder, folderLength + 1);
  bool going = EnterFolder(&walk, folderLength);
  while (going && walk.depth > 0) {
    Frame* frame = FrameAt(&walk, walk.depth - 1);
    const char* name = NextName(&walk, frame);
    if (name == nullptr) {
      going = FinishLevel(&walk);
    } else {
      going = WalkName(&walk, frame, name);
    }
  }
  while (walk.depth > 0) PopLevel(&walk);
  FolderSetRelease(&walk.entered);
  OsRelease(walk.frames.bytes);
  OsRelease(walk.names.bytes);
  OsRelease(walk.path);
  return going;
}

}  // namespace zf
