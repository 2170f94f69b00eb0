// The layouts of the archive's records. Every field goes out through
// PutShort, little-endian, a 32-bit field as two halves, low half first.
#pragma once

#include "zipwriter/zip_writer.h"

namespace zf {

// The local header in front of an entry's data, with its localFlags.
void WriteLocalHeader(ZipWriter* writer, const ZipEntry* entry);
// The entry's record in the central directory.
void WriteCentralHeader(ZipWriter* writer, const ZipEntry* entry);
// The end record: count entries in a directory from start to the offset.
void WriteEndRecord(ZipWriter* writer, std::uint32_t count, std::uint32_t start);

}  // namespace zf
