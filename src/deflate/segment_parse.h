// The parse of one large input in segments on several threads, joined into
// the very stream the compressor alone makes (lazy_run.h says why that
// holds), and the block output of the joined stream on the caller's thread.
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"
#include "platform/platform.h"

namespace zf {

struct SegmentBoard;

// What the parse in segments did, for tests and benchmarks.
struct SegmentCounts {
  std::uint64_t guessed;  // parses started from a guessed state
  std::uint64_t joins;    // hand-overs of the true parse to one of them
  std::uint64_t dropped;  // of them, those the true parse went through alone
};

// Compressor states kept from one input's parses for the next one's, where a
// caller splits many small inputs (tests): fresh ones cost their clearing.
struct KeptStates {
  DeflateState* states[8];
  std::uint32_t count;
};
// Lets go of them.
void ReleaseKeptStates(KeptStates* kept);

// The threads that help: offer tells them of a board (they call
// HelpWithSegments with it, from any thread, until it returns false), once,
// from its owner's thread; wake, from any thread, that more work became
// available on the board offered, if it still is; withdraw, from the
// owner's thread, that it is gone: it returns once no helper is inside.
// Set up before the owner's thread starts and read-only after, but for
// counts and kept, which the owner's thread alone writes.
struct ParseCrew {
  void* context;
  void (*offer)(void* context, SegmentBoard* board);
  void (*wake)(void* context);
  void (*withdraw)(void* context, SegmentBoard* board);
  // Whether a thread is free to help now, from the owner's thread; null:
  // always. While none is, the owner parses alone, as the compressor alone
  // does and at its cost, and asks again at each segment's end.
  bool (*helpAtHand)(void* context);
  // Segment length and the input size from which an input is split; 0: the
  // defaults below.
  std::uint32_t segmentBytes;
  std::uint64_t splitFrom;
  // Threads besides the owner's that may help: the look-ahead.
  std::uint32_t helpers;
  // Every segment within the look-ahead is parsed from its guessed start
  // before the true parse goes on, so that one thread alone takes every
  // path of the join (tests).
  bool speculateFirst;
  // Added to at the end of each input parsed in segments; may be null.
  SegmentCounts* counts;
  // Where the states of one input's parses wait for the next; null: they
  // are let go at its end.
  KeptStates* kept;
};

// Longer segments were no faster on a large file, and shorter ones cost more
// warm-ups and joins. From 4 MB a file split at two threads is already done
// well before the one thread alone (docs/performance.md); below, the
// warm-up of each segment and the check of every symbol weigh more.
inline constexpr std::uint32_t kSegmentBytes = 1u << 20;
inline constexpr std::uint64_t kSplitFrom = 4u << 20;

// Whether an input of size bytes at level is split when a crew is there:
// the lazy levels (4 to 8) in segments joined where the parses agree; the
// fast levels 1 to 3 and level 9 in pieces (piece_parse.h), since their
// parses restart at fixed offsets. The fast levels' buckets keep only the
// newest few positions and a long match enters none of those it covers, so
// what the table holds depends on where the parse's matches fell and two
// parses might never agree; level 9's binary tree drops what lies below its
// search depth and each chunk's first costs are the last chunk's, so a
// parse started at a segment would search another tree.
bool SplitsInput(const ParseCrew* crew, std::uint8_t level, std::uint64_t size);

// Deflates the state's source like DeflateStream, its sink receiving the
// same bytes, with segments parsed by the crew from file (read at
// positions; size is what the input is expected to hold). The outcome:
// ErrNone, ErrNoMemory, ErrRead (systemError set) or ErrChanged (the input
// read in order differs from what the segments read), or the state's
// failed flag for a failure of its own source or sink.
std::int32_t DeflateInSegments(DeflateState* state, std::uint8_t level, std::uint16_t* fileTypeWord,
                               const ParseCrew* crew, OsFile file, std::uint64_t size,
                               std::int32_t* systemError);

// A helper's part: runs one piece of the board's work; false when there is
// none to take now.
bool HelpWithSegments(SegmentBoard* board);
// Whether the board has a piece a helper could take now.
bool SegmentWorkWaiting(SegmentBoard* board);

}  // namespace zf
