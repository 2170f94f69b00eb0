// The folders a walk has entered, so that links reaching one of them again
// by another path do not walk it again: with two links per level to the next
// level, the walk would otherwise grow twofold with each level.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace zf {

struct FolderSlot {
  OsFolderId id;
  bool used;
};

// Open addressing with linear probing, grown by doubling while at most three
// quarters full. The slots are bounded (kFolderSetSlots, 12 MiB): past
// 393,216 folders nothing more is remembered, and the walk falls back to
// looking only at the folders on its way down.
struct FolderSet {
  FolderSlot* slots;
  std::size_t capacity;  // a power of two, or 0
  std::size_t count;
};

inline constexpr std::size_t kFolderSetSlots = std::size_t{1} << 19;

bool FolderSetContains(const FolderSet& set, const OsFolderId& id);
// Adds the id; false when the set is at its bound or memory is short.
bool FolderSetInsert(FolderSet* set, const OsFolderId& id);
void FolderSetRelease(FolderSet* set);

}  // namespace zf
