// The compressor's one entry point for the archive writer.
#pragma once

#include "zipwriter/zip_writer.h"

namespace zf {

// Deflates the writer's current source at the writer's level (1 to 9; any
// other value is the default, 8) as the data of the entry.
// The outcome is in the writer: error, compressedSize, bytesRead and crc.
// Allocates the writer's compressor state on first use; CloseArchive frees it.
void DeflateEntry(ZipEntry* entry, ZipWriter* writer);
// The general-purpose flag bits that DeflateEntry gives the writer's entries
// (those of its level), for a header that must go out before the data.
std::uint16_t DeflateFlags(const ZipWriter* writer);

}  // namespace zf
