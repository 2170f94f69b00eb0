// Adding an entry in steps, for an entry compressed by one writer (a
// worker's, whose output is held apart) and placed in the archive by another.
// AddEntry is these steps on one writer.
#pragma once

#include <cstddef>

#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {

// Opens the source and builds its entry in the room that room gives (the
// writer's list, or a record of its own) and its details; on failure no
// source stays open and the entry is not built.
std::int32_t OpenEntry(ZipWriter* writer, const char* sourcePath, const char* name,
                       SourceDetails* details, ZipEntry* (*room)(ZipWriter*, std::size_t),
                       ZipEntry** entryOut);
// Produces the data through the writer's output, completes the entry and
// closes the source; the writer's error tells the outcome. ErrChanged means
// the source was cut while read: add the file again with AddEntry.
void CompressSource(ZipWriter* writer, ZipEntry* entry);

// The placing writer's side: the local header (zeros of its length while the
// entry is not complete), then the data through PutBytes, then the end, with
// code the compressing side's outcome. On success a copy of the entry is kept
// on the placing writer's list; on failure no trace of it stays in the
// archive. ErrTooLarge from the end means the entry came out needing a longer
// header than the one reserved: add the file again with AddEntry.
void BeginCopiedEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details,
                      bool headerFinal);
std::int32_t EndCopiedEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details,
                            std::int32_t code, bool headerFinal);

}  // namespace zf
