// Packing one folder into one archive: the walk (folder_walk.cpp) and the
// whole job around it (pack_folder.cpp).
#pragma once

#include <cstdint>

#include "zipwriter/zip_writer.h"

namespace zf {

struct NameFilter;

struct PackSummary {
  std::uint64_t entries;       // entries in the central directory
  std::uint64_t bytesRead;     // source bytes of those entries
  std::uint64_t archiveBytes;  // length of the finished archive
};

// Why the walk passed over something below the root without a visit.
enum class WalkSkip : std::int32_t {
  kFolderUnlisted,  // a folder that cannot be listed
  kPathTooLong,     // the full path would pass the system's path limit
  kNameUnusable,    // a name the archive cannot carry as it is
  kNoMemory,        // a folder, the root included, with no memory to walk it
};

// What the walk meets besides files, under its rules.
enum class WalkItem : std::int32_t {
  kFolder,  // a folder to store as an entry of its own
  kLink,    // a symbolic link to store as a link
};

// What the walk does with what it meets. Packing adds each file to the
// archive; the reporting and threaded packers put their own work here, so
// that one walk serves them all.
struct WalkVisitor {
  void* context;
  // A file at path, to be named name in the archive. False stops the walk
  // (the archive failed, or the caller cancelled).
  bool (*visitFile)(void* context, const char* path, const char* name);
  // Something left out by the walk itself; may be null. Only kNoMemory may
  // name the root.
  // path is the full path, cut short to the folder for kPathTooLong.
  void (*passedOver)(void* context, const char* path, WalkSkip why);
  // A folder or link at path, to be named name (a tail of path, as for
  // files; empty for the root); may be null. False stops the walk.
  bool (*visitItem)(void* context, const char* path, const char* name, WalkItem item) = nullptr;
  // Something the rules' filter left out; may be null.
  void (*excluded)(void* context, const char* path) = nullptr;
  // A folder could not be listed for want of descriptors or memory; true
  // when the visitor let go of some of its own, and the listing is tried
  // again. May be null.
  bool (*makeRoom)(void* context) = nullptr;
};

// How the walk chooses and orders what it meets. Zeros, or no rules at
// all: every file, in the system's order, links followed, no folder entries.
struct WalkRules {
  NameFilter* filter;    // may be null
  std::int32_t folders;  // ZIPFOLDER_FOLDERS_*: which folders are visited as items
  bool sort;             // each folder's names in the byte order of their UTF-8
  bool keepLinks;        // a symbolic link is an item, never followed
  bool rootItem;         // the root has a name in the archive (a prefix), so it may be an item
};

// Calls the visitor for every file below folder, named relative to root.
// Each folder is walked once: a link to a folder walked before is not
// followed again (see folder_set.h for the bound). False when a visitor
// stopped the walk. rules may be null.
bool WalkFolder(const WalkVisitor& visitor, const char* folder, const char* root,
                const WalkRules* rules = nullptr);

// Adds every file below folder to the writer, named relative to root.
void AddFolder(ZipWriter* writer, const char* folder, const char* root);

// The whole job of CompFilesToZipFile. Returns ErrNone when the archive was
// written completely, ErrArgument for a null or empty path, else the code of
// the failed open or close. summary may be null.
std::int32_t PackFolder(const char* srcFolder, const char* zipPath, PackSummary* summary);

}  // namespace zf
