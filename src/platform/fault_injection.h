// Fault injection: a test build makes chosen platform calls fail, to prove
// that every failure the system can meet ends in a sound archive or an
// honest failure. Every call that can fail asks FaultDue first; in the
// library proper FaultDue is a constant false and compiles away, and only the
// test build (ZIPFOLDER_FAULT_INJECTION) keeps a per-thread plan.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zf {

enum class OsCall : std::uint32_t {
  kAllocate,
  kCreate,
  kOpen,
  kRead,
  kWrite,
  kSeek,
  kSetEnd,
  kGetFacts,
  kOpenFolder,
  kNextName,
  kIsFolder,
  kFolderId,
  kClose,
  kNameless,  // a nameless archive file, which has a named one to fall back on
  kName,      // naming a nameless archive
  kRename,    // putting the finished archive in place
  kScratch,
  kWriteAt,
  kReadAt,
  kStartThread,
};

// Which calls fail, and what failed. Calls are counted from 1 across all
// kinds, in the order the thread makes them; under a shared plan, in the
// order all threads together make them.
struct FaultPlan {
  std::uint64_t failFrom;        // first call to fail; 0 fails none
  std::uint32_t failCount;       // how many calls in a row fail from there
  std::uint64_t calls;           // calls counted so far
  OsFile archive;                // the archive created under this plan
  std::uint32_t outputFailures;  // failed calls on the archive output
  std::uint32_t otherFailures;   // failed calls on sources, folders, memory
  std::uint32_t failedKinds;     // one bit per OsCall that failed
  // One bit per OsCall that always fails, uncounted: a system without it.
  std::uint32_t refusedKinds;
  // Called before every call, for a test that acts as another process
  // would between the calls; may be null.
  void (*between)(void* context);
  void* betweenContext;
};

#if defined(ZIPFOLDER_FAULT_INJECTION)
// Sets the calling thread's plan; null stops all failures.
void SetFaultPlan(FaultPlan* plan);
// Sets the plan of every thread that has none of its own, for the threads a
// packer starts; null stops it. Its counts are kept under a lock.
void SetSharedFaultPlan(FaultPlan* plan);
// True when this call is to fail; file is the file it concerns, or kNoFile.
bool FaultDue(OsCall call, OsFile file);
// Tells the plan which file is the archive, so failures on it count as output.
void NoteArchive(OsFile file);
#else
constexpr bool FaultDue(OsCall, OsFile) { return false; }
constexpr void NoteArchive(OsFile) {}
#endif

}  // namespace zf
