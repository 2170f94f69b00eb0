// Packing one folder into one archive: the walk (folder_walk.cpp) and the
// whole job around it (pack_folder.cpp).
#pragma once

#include <cstdint>

#include "zipwriter/zip_writer.h"

namespace zf {

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
  // A folder could not be listed for want of descriptors or memory; true
  // when the visitor let go of some of its own, and the listing is tried
  // again. May be null.
  bool (*makeRoom)(void* context) = nullptr;
};

// Calls the visitor for every file below folder, named relative to root.
// Each folder is walked once: a link to a folder walked before is not
// followed again (see folder_set.h for the bound). False when a visitor
// stopped the walk.
bool WalkFolder(const WalkVisitor& visitor, const char* folder, const char* root);

// Adds every file below folder to the writer, named relative to root.
void AddFolder(ZipWriter* writer, const char* folder, const char* root);

// The whole job of CompFilesToZipFile. Returns ErrNone when the archive was
// written completely, ErrArgument for a null or empty path, else the code of
// the failed open or close. summary may be null.
std::int32_t PackFolder(const char* srcFolder, const char* zipPath, PackSummary* summary);

}  // namespace zf
