// The fast run of levels 1 to 3: each match is sent as soon as it is found,
// with no lazy step, and a long match is jumped over without entering the
// positions it covers. Apart from the lazy run (compress_run.cpp) because
// its loop, its chain form (plain links) and its block accounting differ;
// it shares the window, the search and the block output.
//
// The rules, which fix the bytes of these levels:
// - At each position with at least three bytes ahead: enter it, and search
//   its chain when the chain has a candidate within the farthest distance,
//   with best starting at 2 and the full chain budget (never a quarter),
//   after lowering the stop length to the bytes ahead.
// - A match of 3 bytes or more, cut to the bytes ahead, is recorded at
//   once; a 3-byte match far back is kept (that rule is the lazy run's).
//   The positions it covers are entered only when its length is at most the
//   insertion limit (the level's second column); otherwise the scan jumps
//   past it and the rolling hash starts again from the two bytes there.
// - Otherwise the byte is recorded as a literal.
// - A symbol is recorded while scanPosition is its first byte, so the early
//   end of a block (level 3 only, record_symbol.h) counts the input before
//   it; a block ended by it closes just after the symbol.
#include "deflate/deflate_internal.h"
#include "deflate/hash_chains.h"
#include "deflate/match_search.h"
#include "deflate/record_symbol.h"

namespace zf {

void CompressFast(DeflateState* state) {
  std::uint8_t* window = state->slidingWindow;
  std::uint16_t* heads = state->hashHeads;
  std::uint16_t* links = state->chainLinks;
  const std::uint32_t insertLimit = state->lazyLimit;
  const std::uint32_t budget = state->chainLimit;
  // The loop's registers; the record is brought up to date before every call
  // that reads or moves them.
  std::uint32_t p = state->scanPosition;
  std::uint32_t ahead = state->bytesAhead;
  std::uint32_t hash = state->rollingHash;
  std::uint32_t stop = state->stopLength;
  std::uint32_t matchPosition = state->matchPosition;

  while (ahead != 0) {
    std::uint32_t length = 0;
    if (ahead >= kShortestMatch) {
      const std::uint32_t candidate = InsertLink(window, heads, links, &hash, p);
      if (candidate != 0 && p - candidate <= kFarthestDistance) {
        if (stop > ahead) stop = ahead;
        length = SearchChain(window, links, p, candidate, kShortestMatch - 1, budget, stop,
                             &matchPosition);
        if (length > ahead) length = ahead;
      }
    }
    // Recorded while scanPosition is the symbol's first byte.
    state->scanPosition = p;
    bool full;
    if (length >= kShortestMatch) {
      full = RecordSymbol(state, p - matchPosition,
                          static_cast<std::uint8_t>(length - kShortestMatch));
      if (length <= insertLimit) {
        const std::uint32_t lastInsertable = p + ahead - kShortestMatch;
        const std::uint32_t end = p + length - 1 < lastInsertable ? p + length - 1 : lastInsertable;
        for (std::uint32_t q = p + 1; q <= end; ++q) InsertLink(window, heads, links, &hash, q);
        p += length;
        ahead -= length;
      } else {
        p += length;
        ahead -= length;
        // Read only while they are input; with fewer, nothing is entered
        // again before the entry ends.
        if (ahead >= 2) hash = HashStep(window[p], window[p + 1]);
      }
    } else {
      full = RecordSymbol(state, 0, window[p]);
      ++p;
      --ahead;
    }
    if (full) {
      state->scanPosition = p;
      if (!FinishMidBlock(state)) return;
    }
    if (ahead < kLeastAhead && !RefillFromLoop(state, &p, &ahead, &matchPosition)) return;
  }

  state->scanPosition = p;
  state->bytesAhead = ahead;
  state->rollingHash = hash;
  state->stopLength = stop;
  state->matchPosition = matchPosition;
  FinishBlockHere(state, 1);
}

}  // namespace zf
