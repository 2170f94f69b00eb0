// The compressor's entry points: for the archive writer, and over any
// narrow source and sink (deflate_state.h).
#pragma once

#include "zipwriter/zip_writer.h"

namespace zf {

struct DeflateState;

// Deflates the writer's current source at the writer's level (1 to 9; any
// other value is the default, 8) as the data of the entry.
// The outcome is in the writer: error, compressedSize, bytesRead and crc.
// Allocates the writer's compressor state on first use; CloseArchive frees it.
// With a parse crew on the writer (parallel_pack.cpp), a large source is
// parsed in segments on the crew's threads, with the same bytes.
void DeflateEntry(ZipEntry* entry, ZipWriter* writer);
// The general-purpose flag bits that DeflateEntry gives the writer's entries
// (those of its level), for a header that must go out before the data.
std::uint16_t DeflateFlags(const ZipWriter* writer);

// A compressor state of its own, cleared; null when memory is short.
// Released with OsRelease.
DeflateState* AllocateDeflateState();
// Deflates the state's source into its sink at level (1 to 9) as one
// stream; fileTypeWord receives the text-or-binary guess. The outcome: the
// state's failed flag and DeflatedBytes (deflate_internal.h).
void DeflateStream(DeflateState* state, std::uint8_t level, std::uint16_t* fileTypeWord);

}  // namespace zf
