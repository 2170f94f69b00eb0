// Packing one folder into one archive: the walk and the whole job around it.
#pragma once

#include <cstdint>

#include "zipwriter/zip_writer.h"

namespace zf {

struct PackSummary {
  std::uint32_t entries;       // entries in the central directory
  std::uint64_t bytesRead;     // source bytes of those entries
  std::uint64_t archiveBytes;  // length of the finished archive
};

// Adds every file below folder to the writer, named relative to root.
void AddFolder(ZipWriter* writer, const char* folder, const char* root);

// The whole job of CompFilesToZipFile. Returns ErrNone when the archive was
// written completely, ErrArgument for a null or empty path, else the code of
// the failed open or close. summary may be null.
std::int32_t PackFolder(const char* srcFolder, const char* zipPath, PackSummary* summary);

}  // namespace zf
