// The kept entries, held until the central directory is written. A tree of
// a million files keeps a million records, so they lie back to back in large
// blocks instead of one allocation each: no per-record heap overhead and no
// list links, only the fields the central record needs and the name.
#pragma once

#include <cstddef>

#include "zipwriter/zip_writer.h"

namespace zf {

// Room for a record with a name of nameLength bytes at the end of the list,
// its fields cleared; null when memory is short. The record is not on the
// list until KeepEntry; reserving again without keeping reuses the room.
ZipEntry* ReserveEntry(ZipWriter* writer, std::size_t nameLength);
// A record of its own, for an entry built away from the list (a worker's),
// its fields cleared; released with OsRelease. The writer is not touched.
ZipEntry* AllocateEntry(ZipWriter* writer, std::size_t nameLength);
// Bytes of a record with a name of nameLength bytes, name and zero included.
std::size_t EntryRecordBytes(std::size_t nameLength);
// Puts the record last reserved on the list and counts it.
void KeepEntry(ZipWriter* writer, ZipEntry* entry);

// A position on the list, from the first record on.
struct EntryCursor {
  const EntryBlock* block;
  std::size_t at;  // bytes of the block's records passed
};
EntryCursor FirstEntry(const ZipWriter* writer);
// The record at the cursor, moving past it; null after the last one.
const ZipEntry* NextEntry(EntryCursor* cursor);

// Releases every block of the list.
void ReleaseEntries(ZipWriter* writer);

}  // namespace zf
