// Packing with worker threads that compress whole files ahead of the writer.
#pragma once

#include <cstdint>

#include "entry/pack_folder.h"

namespace zf {

// What a packer tells its caller, always on the caller's thread. Every
// function may be null.
struct PackEvents {
  void* context;
  // Whether a file met by the walk belongs in the archive at all; false
  // passes over it without a word. Null: every file does.
  bool (*fileWanted)(void* context, const char* path);
  // The entry named name is about to be written; false cancels.
  bool (*entryStarting)(void* context, const char* name);
  // A file became an entry of the archive.
  void (*entryAdded)(void* context, const ZipEntry* entry);
  // A file met by the walk was left out; code says why (ErrOpen, ErrRead,
  // ErrTooLarge, ...), systemError is the system's number for it or 0.
  // ErrStreamBroken: the file failed midway into a stream, failing it.
  void (*fileLeftOut)(void* context, const char* path, std::int32_t code, std::int32_t systemError);
  // Something the walk itself passed over.
  void (*passedOver)(void* context, const char* path, WalkSkip why);
  // Source bytes read so far for the entries added or being added; false
  // cancels the packing: no further entry is added.
  bool (*bytesRead)(void* context, std::uint64_t total);
  // Something the walk's rules left out.
  void (*excluded)(void* context, const char* path) = nullptr;
};

// Compressed output waiting for its turn is held in memory up to this many
// bytes; beyond it a worker spills to a scratch file, or waits when it has
// none. The file being written may run a sixteenth of it ahead of the
// writer besides.
inline constexpr std::uint64_t kHeldOutputBudget = 16u << 20;

// Workers beyond the processors only wait their turn, and each costs its
// own compressor's memory.
inline constexpr std::uint32_t kMostWorkers = 256;

// The threads asked for, at most one per processor and kMostWorkers.
std::uint32_t WorkerCount(std::uint32_t asked);

// Adds every file below folder, named relative to root, with threads
// workers compressing; the archive gets the same bytes as from AddFolder.
// Below 2 threads, or when no thread can be started, it all happens on the
// caller's thread, and so does all that follows a shortage of memory,
// descriptors or spill space in a worker. Scratch files are named scratchPath with a tail, in its
// folder (the archive's path serves); with null a worker waits instead.
// The walk follows rules (null: every file; see WalkRules), folders and
// links entering the archive at their place in the walk. False when the
// caller cancelled.
bool AddFolderTree(ZipWriter* writer, const char* folder, const char* root,
                         std::uint32_t threads, const PackEvents* events, const char* scratchPath,
                         std::uint64_t budget = kHeldOutputBudget,
                         const WalkRules* rules = nullptr);

}  // namespace zf
