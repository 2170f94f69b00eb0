// What failed, in codes every part of the library shares: the writer, the
// compressor (which must not depend on the writer's records) and the packer.
// A code says what went wrong, never what to do about it; the packer decides
// that from the code in one place (NextStepFor in pack_pipeline.cpp).
#pragma once

#include <cstdint>

namespace zf {

// Failure codes; fixed numbers, stored in a Failure or returned.
enum : std::int32_t {
  ErrNone = 0,
  ErrOpen = 1,       // a file cannot be created or opened, or examined
  ErrNoMemory = 2,   // a block cannot be allocated
  ErrWrite = 3,      // a write to the archive failed or fell short
  ErrTooLarge = 4,   // the entry outgrew its header and its source cannot be read again
  ErrChanged = 5,    // the source was cut while read, and again when read again
  ErrRead = 7,       // a read from the source failed
  ErrArgument = 9,   // no usable writer, path or name
  ErrFinished = 13,  // the central directory has been written already
  ErrSeek = 16,      // the archive output cannot be repositioned
  // The read hook asked to stop.
  ErrCancelled = 17,
  // A worker thread lacked memory, a descriptor or spill space for the
  // file, or its spilled output could not be read back; the file itself may
  // be fine.
  ErrGaveWay = 18,
  // An entry failed once a stream had taken some of its bytes, which cannot
  // be taken back; Failure::brokenBy says why the entry failed.
  ErrStreamBroken = 19,
  // The source is one of the call's own files (the archive being written, a
  // scratch file), whatever path reached it: left out without a word.
  ErrOwnFile = 20,
  // The deflated data came out no smaller than the file, whose deflated
  // bytes have left a worker already.
  ErrNotSmaller = 21,
  // The system's cryptography refused to encrypt the entry (no random
  // source, a broken provider, or none in this build).
  ErrCrypto = 22,
};

// One failure, whole: what failed, the system's error number behind it
// (0: none, or not the system's), and with ErrStreamBroken, the entry's own
// failure that broke the stream.
struct Failure {
  std::int32_t code;
  std::int32_t systemError;
  std::int32_t brokenBy;
};

// A failure of the archive output itself. The file's content and position are
// unknown from then on (buffered bytes of kept entries may be lost with it),
// so it sticks: no later entry and no central directory is written. Every
// other failure concerns one source and ends with its entry.
inline bool IsOutputFailure(std::int32_t code) {
  return code == ErrWrite || code == ErrSeek || code == ErrStreamBroken;
}

}  // namespace zf
