#include "entry/folder_set.h"

#include <cstring>

namespace zf {
namespace {

std::size_t Hash(const OsFolderId& id) {
  // A 64-bit mix: inode numbers of one volume are often consecutive.
  std::uint64_t h = id.index * 0x9E3779B97F4A7C15ull ^ id.volume;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

bool SameId(const OsFolderId& a, const OsFolderId& b) {
  return a.volume == b.volume && a.index == b.index;
}

FolderSlot* FindSlot(FolderSlot* slots, std::size_t capacity, const OsFolderId& id) {
  std::size_t at = Hash(id) & (capacity - 1);
  while (slots[at].used && !SameId(slots[at].id, id)) at = (at + 1) & (capacity - 1);
  return &slots[at];
}

bool Grow(FolderSet* set) {
  const std::size_t capacity = set->capacity == 0 ? 256 : set->capacity * 2;
  if (capacity > kFolderSetSlots) return false;
  auto* slots = static_cast<FolderSlot*>(OsAllocate(capacity * sizeof(FolderSlot)));
  if (slots == nullptr) return false;
  std::memset(slots, 0, capacity * sizeof(FolderSlot));
  for (std::size_t i = 0; i < set->capacity; ++i) {
    if (set->slots[i].used) *FindSlot(slots, capacity, set->slots[i].id) = set->slots[i];
  }
  OsRelease(set->slots);
  set->slots = slots;
  set->capacity = capacity;
  return true;
}

}  // namespace

bool FolderSetContains(const FolderSet& set, const OsFolderId& id) {
  return set.capacity != 0 && FindSlot(set.slots, set.capacity, id)->used;
}

bool FolderSetInsert(FolderSet* set, const OsFolderId& id) {
  if ((set->count + 1) * 4 > set->capacity * 3 && !Grow(set)) return false;
  FolderSlot* slot = FindSlot(set->slots, set->capacity, id);
  if (!slot->used) {
    *slot = FolderSlot{id, true};
    set->count += 1;
  }
  return true;
}

void FolderSetRelease(FolderSet* set) {
  OsRelease(set->slots);
  *set = FolderSet{};
}

}  // namespace zf
