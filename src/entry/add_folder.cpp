// The folder walk: depth first, each folder's names in the order the system
// lists them, a subfolder's whole content at the place of its name.
//
// One path buffer serves the whole walk: each level appends a name behind
// its folder's path and cuts it off again, so a level costs a few words of
// stack and the archive name is always the tail of the full path.
#include <cstring>

#include "entry/pack_folder.h"

namespace zf {
namespace {

// The folders on the way from the root down to the current level, so that a
// link back to one of them is not entered again.
struct FolderLink {
  OsFolderId id;
  bool known;
  const FolderLink* parent;
};

struct Walk {
  const WalkVisitor* visitor;
  char* path;  // kMaxPathBytes bytes
  std::size_t rootLength;
};

bool IsDotName(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

bool IsOnWalkPath(const FolderLink* link, const OsFolderId& id) {
  for (; link != nullptr; link = link->parent) {
    if (link->known && link->id.volume == id.volume && link->id.index == id.index) return true;
  }
  return false;
}

// On a system whose separator is "/", a backslash in a name would turn into
// a false folder level inside the archive.
bool HasForeignSeparator(const char* name) {
  return kPathSeparator != '\\' && std::strchr(name, '\\') != nullptr;
}

void PassOver(const Walk& walk, WalkSkip why) {
  if (walk.visitor->passedOver != nullptr)
    walk.visitor->passedOver(walk.visitor->context, walk.path, why);
}

bool WalkLevel(const Walk& walk, std::size_t folderLength, const FolderLink* ancestors) {
  OsFolderScan* scan = OsOpenFolder(walk.path);
  if (scan == nullptr) {
    if (ancestors->parent != nullptr) PassOver(walk, WalkSkip::kFolderUnlisted);
    return true;
  }
  bool going = true;
  while (going) {
    const char* name = OsNextName(scan);
    if (name == nullptr) break;
    const std::size_t nameLength = std::strlen(name);
    if (folderLength + 1 + nameLength >= kMaxPathBytes) {
      if (!IsDotName(name)) PassOver(walk, WalkSkip::kPathTooLong);
      continue;
    }
    walk.path[folderLength] = kPathSeparator;
    std::memcpy(walk.path + folderLength + 1, name, nameLength + 1);
    if (HasForeignSeparator(name)) {
      PassOver(walk, WalkSkip::kNameUnusable);
      walk.path[folderLength] = 0;
      continue;
    }
    if (!OsIsFolder(walk.path)) {
      going = walk.visitor->visitFile(walk.visitor->context, walk.path,
                                      walk.path + walk.rootLength + 1);
    } else if (!IsDotName(name)) {
      FolderLink link{{}, false, ancestors};
      link.known = OsGetFolderId(walk.path, &link.id);
      if (!link.known || !IsOnWalkPath(ancestors, link.id)) {
        going = WalkLevel(walk, folderLength + 1 + nameLength, &link);
      }
    }
    walk.path[folderLength] = 0;
  }
  OsCloseFolder(scan);
  return going;
}

bool AddFileToArchive(void* context, const char* path, const char* name) {
  return !IsOutputFailure(AddEntry(static_cast<ZipWriter*>(context), path, name));
}

}  // namespace

bool WalkFolder(const WalkVisitor& visitor, const char* folder, const char* root) {
  const std::size_t folderLength = std::strlen(folder);
  if (folderLength >= kMaxPathBytes) return true;
  auto* path = static_cast<char*>(OsAllocate(kMaxPathBytes));
  if (path == nullptr) return true;
  std::memcpy(path, folder, folderLength + 1);
  FolderLink top{{}, false, nullptr};
  top.known = OsGetFolderId(path, &top.id);
  const bool finished = WalkLevel(Walk{&visitor, path, std::strlen(root)}, folderLength, &top);
  OsRelease(path);
  return finished;
}

void AddFolder(ZipWriter* writer, const char* folder, const char* root) {
  WalkFolder(WalkVisitor{writer, AddFileToArchive, nullptr}, folder, root);
}

std::int32_t PackFolder(const char* srcFolder, const char* zipPath, PackSummary* summary) {
  if (summary != nullptr) *summary = PackSummary{};
  // An empty path would walk the root of the file system, or create a
  // nameless file: treat it as no path at all.
  if (srcFolder == nullptr || zipPath == nullptr || *srcFolder == 0 || *zipPath == 0) {
    return ErrArgument;
  }
  ZipWriter* writer = nullptr;
  const std::int32_t opened = OpenArchive(zipPath, &writer);
  if (opened != ErrNone) return opened;
  AddFolder(writer, srcFolder, srcFolder);
  PackSummary done{writer->entryCount, writer->sourceBytes,
                   std::uint64_t{writer->offset} + writer->centralBytes + kEndRecordBytes};
  const std::int32_t closed = CloseArchive(writer);
  if (summary != nullptr && closed == ErrNone) *summary = done;
  return closed;
}

}  // namespace zf
