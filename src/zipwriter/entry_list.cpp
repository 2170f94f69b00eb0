#include "zipwriter/entry_list.h"

#include <cstring>

#include "zipwriter/headers.h"

namespace zf {
namespace {

// Large enough that the block allocations cost nothing beside the records,
// small enough to be nothing beside the compressor for a one-file archive.
constexpr std::size_t kEntryBlockBytes = 65536;

std::uint8_t* Records(const EntryBlock* block) {
  static_assert(sizeof(EntryBlock) % alignof(ZipEntry) == 0);
  return reinterpret_cast<std::uint8_t*>(const_cast<EntryBlock*>(block)) + sizeof(EntryBlock);
}

}  // namespace

std::size_t EntryRecordBytes(std::size_t nameLength) {
  constexpr std::size_t kAlign = alignof(ZipEntry);
  return (offsetof(ZipEntry, name) + nameLength + 1 + kAlign - 1) / kAlign * kAlign;
}

ZipEntry* AllocateEntry(ZipWriter*, std::size_t nameLength) {
  auto* entry = static_cast<ZipEntry*>(OsAllocate(EntryRecordBytes(nameLength)));
  if (entry != nullptr) std::memset(entry, 0, offsetof(ZipEntry, name));
  return entry;
}

ZipEntry* ReserveEntry(ZipWriter* writer, std::size_t nameLength) {
  const std::size_t bytes = EntryRecordBytes(nameLength);
  EntryBlock* block = writer->lastBlock;
  if (block == nullptr || block->capacity - block->used < bytes) {
    const std::size_t capacity = bytes > kEntryBlockBytes ? bytes : kEntryBlockBytes;
    auto* added = static_cast<EntryBlock*>(OsAllocate(sizeof(EntryBlock) + capacity));
    if (added == nullptr) return nullptr;
    *added = EntryBlock{nullptr, 0, capacity};
    if (block == nullptr) {
      writer->entries = added;
    } else {
      block->next = added;
    }
    writer->lastBlock = block = added;
  }
  auto* entry = reinterpret_cast<ZipEntry*>(Records(block) + block->used);
  std::memset(entry, 0, offsetof(ZipEntry, name));
  return entry;
}

void KeepEntry(ZipWriter* writer, ZipEntry* entry) {
  writer->lastBlock->used += EntryRecordBytes(entry->nameLength);
  writer->lastKept = entry;
  writer->entryCount += 1;
  writer->centralBytes += CentralRecordBytes(writer, entry);
  writer->sourceBytes += entry->size;
}

EntryCursor FirstEntry(const ZipWriter* writer) { return EntryCursor{writer->entries, 0}; }

const ZipEntry* NextEntry(EntryCursor* cursor) {
  while (cursor->block != nullptr && cursor->at == cursor->block->used) {
    cursor->block = cursor->block->next;
    cursor->at = 0;
  }
  if (cursor->block == nullptr) return nullptr;
  const auto* entry = reinterpret_cast<const ZipEntry*>(Records(cursor->block) + cursor->at);
  cursor->at += EntryRecordBytes(entry->nameLength);
  return entry;
}

void ReleaseEntries(ZipWriter* writer) {
  while (writer->entries != nullptr) {
    EntryBlock* next = writer->entries->next;
    OsRelease(writer->entries);
    writer->entries = next;
  }
  writer->lastBlock = nullptr;
  writer->lastKept = nullptr;
}

}  // namespace zf
