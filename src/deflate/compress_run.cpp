// The match loop: the sliding window, hash chains, the search along one
// chain and the one-step lazy decision between a match and a literal.
#include <bit>
#include <cstring>

#include "deflate/deflate_internal.h"
#include "deflate/record_symbol.h"

namespace zf {
namespace {

inline std::uint32_t HashStep(std::uint32_t hash, std::uint8_t byte) {
  return ((hash << kHashShift) ^ byte) & kHashMask;
}

// Enters position p, whose three bytes are input, at the head of its hash
// chain and returns the position it displaced there: the nearest earlier
// one with the same hash, or 0. p's steps are that position and the first
// three of its own steps.
inline std::uint32_t InsertPosition(const std::uint8_t* window, std::uint16_t* heads,
                                    std::uint64_t* steps, std::uint32_t* hash, std::uint32_t p) {
  *hash = HashStep(*hash, window[p + 2]);
  const std::uint32_t candidate = heads[*hash];
  // No search from p or later reaches a candidate this far back, so the
  // steps behind it are left out (zero); the steps of every position thus
  // fall strictly until the first 0 and stay 0 from there on.
  const std::uint64_t further = candidate != 0 && p - candidate <= kFarthestDistance
                                    ? steps[candidate & kHashMask] << 16
                                    : 0;
  steps[p & kHashMask] = further | candidate;
  heads[*hash] = static_cast<std::uint16_t>(p);
  return candidate;
}

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint16_t Load16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Length of the common run of scan and match, both known to agree in their
// first three bytes, capped at the longest match. Reads up to offset 258.
inline std::uint32_t CommonLength(const std::uint8_t* scan, const std::uint8_t* match) {
  for (std::uint32_t offset = kShortestMatch; offset < kLongestMatch + 1; offset += 8) {
    const std::uint64_t diff = Load64(scan + offset) ^ Load64(match + offset);
    if (diff != 0) {
      std::uint32_t byte;
      if constexpr (std::endian::native == std::endian::little) {
        byte = static_cast<std::uint32_t>(std::countr_zero(diff)) >> 3;
      } else {
        byte = static_cast<std::uint32_t>(std::countl_zero(diff)) >> 3;
      }
      const std::uint32_t length = offset + byte;
      return length < kLongestMatch ? length : kLongestMatch;
    }
  }
  return kLongestMatch;
}

// The bytes a candidate is first compared in: the eight ending at offset
// best, or offsets 0 to best while best is below 7.
inline void TailWindow(std::uint32_t best, std::uint32_t* at, std::uint64_t* mask) {
  if (best >= 7) {
    *at = best - 7;
    *mask = ~std::uint64_t{0};
    return;
  }
  *at = 0;
  const std::uint64_t low = (std::uint64_t{1} << (8 * (best + 1))) - 1;
  *mask =
      std::endian::native == std::endian::little ? low : ~(~std::uint64_t{0} >> (8 * (best + 1)));
}

// The search along one hash chain from candidate for a match at
// scanPosition longer than best; *matchPosition changes only when one is
// found. The nearest of equally long matches wins.
//
// The walk visits the chain's positions nearest first, while they lie
// within kFarthestDistance of the scan and the budget lasts, each one's
// successor being the first of its steps. It reads four steps per load and
// visits the same positions in the same order, because every step that it
// reaches is the position's successor: a position x's steps were its
// successor y and y's first three steps when x was entered, and since then
// y's slot (y mod 32,768) was written again only if position y + 32,768 has
// been entered. Nothing beyond the scan is entered before the search, so y
// then lies more than 32,768 behind the scan, beyond the farthest distance,
// and the walk stops at y before it would use y's steps. A slide takes
// 32,768 from every step, or makes it 0 (none) where it would leave the
// window, in heads and steps alike; that keeps both the successors and the
// order against the limit. Positions are never 0 on a chain other than as
// its end (position 0 is never anyone's successor: 0 means none), and 0 is
// at or below every limit, so what follows a 0 step is never used.
inline std::uint32_t SearchChain(const std::uint8_t* window, const std::uint64_t* steps,
                                 std::uint32_t scanPosition, std::uint32_t candidate,
                                 std::uint32_t best, std::uint32_t budget, std::uint32_t stop,
                                 std::uint32_t* matchPosition) {
  const std::uint8_t* scan = window + scanPosition;
  const std::uint32_t limit =
      scanPosition > kFarthestDistance ? scanPosition - kFarthestDistance : 0;
  // A longer match agrees with the scan in every byte up to offset best, so
  // the eight bytes ending there (bytes 0 to best while best is below 7)
  // and the first two reject a candidate whenever the bytes at best - 1 and
  // best would, and more often. The third byte follows from the hash.
  std::uint32_t tailAt = 0;
  std::uint64_t tailMask = 0;
  TailWindow(best, &tailAt, &tailMask);
  std::uint64_t scanTail = Load64(scan + tailAt) & tailMask;
  const std::uint16_t scanStart = Load16(scan);
  // True when the search ends at m.
  auto visit = [&](std::uint32_t m) {
    const std::uint8_t* match = window + m;
    if (((Load64(match + tailAt) & tailMask) ^ scanTail) != 0 || Load16(match) != scanStart)
        [[likely]] {
      return false;
    }
    const std::uint32_t length = CommonLength(scan, match);
    if (length <= best) return false;
    *matchPosition = m;
    best = length;
    if (best >= stop) return true;
    TailWindow(best, &tailAt, &tailMask);
    scanTail = Load64(scan + tailAt) & tailMask;
    return false;
  };
  // Each step is visited while it lies above the limit and the budget
  // lasts; the steps after the last of a word are loaded before the word's
  // own are compared, so that load overlaps the comparisons.
  auto next = [&](std::uint32_t m) { return m > limit && --budget != 0; };
  if (visit(candidate)) return best;
  std::uint64_t word = steps[candidate & kHashMask];
  for (;;) {
    const auto last = static_cast<std::uint32_t>(word >> 48);
    const std::uint64_t following = steps[last & kHashMask];
    if (last > limit && budget > 4) {
      // Steps fall strictly, so all four lie above the limit.
      budget -= 4;
#pragma GCC unroll 4
      for (int lane = 0; lane < 4; ++lane) {
        if (visit(static_cast<std::uint32_t>(word >> (16 * lane)) & 0xFFFF)) return best;
      }
    } else {
#pragma GCC unroll 4
      for (int lane = 0; lane < 4; ++lane) {
        const auto m = static_cast<std::uint32_t>(word >> (16 * lane)) & 0xFFFF;
        if (!next(m) || visit(m)) return best;
      }
    }
    word = following;
  }
}

// After a good match the next position is searched less thoroughly.
inline std::uint32_t ChainBudget(std::uint32_t chainLimit, std::uint32_t reduceChainAt,
                                 std::uint32_t deferredLength) {
  return deferredLength >= reduceChainAt ? chainLimit >> 2 : chainLimit;
}

// Finishes the block collected so far, in the middle of the input. Returns
// false when the output failed and the run must stop.
// Ends the block collected from blockBegin up to scanPosition. Its bytes go
// along only while they are all still in the window, since only then can it
// be sent stored.
void FinishBlockHere(DeflateState* state, std::uint32_t last) {
  const std::uint8_t* data =
      state->blockBegin >= 0 ? state->slidingWindow + state->blockBegin : nullptr;
  FinishBlock(state, data, state->scanPosition - static_cast<std::uint32_t>(state->blockBegin),
              last);
}

bool FinishMidBlock(DeflateState* state) {
  FinishBlockHere(state, 0);
  if (state->writer->error != ErrNone) return false;
  state->blockBegin = static_cast<std::int32_t>(state->scanPosition);
  return true;
}

}  // namespace

std::uint32_t FindLongestMatch(DeflateState* state, std::uint32_t candidate) {
  return SearchChain(state->slidingWindow, state->chainSteps, state->scanPosition, candidate,
                     state->deferredLength,
                     ChainBudget(state->chainLimit, state->reduceChainAt, state->deferredLength),
                     state->stopLength, &state->matchPosition);
}

void RefillWindow(DeflateState* state) {
  std::uint8_t* window = state->slidingWindow;
  for (;;) {
    std::uint32_t room = state->windowBytes - state->scanPosition - state->bytesAhead;
    if (state->scanPosition >= kSlidePoint && state->windowSlides != 0) {
      std::memcpy(window, window + kWindowHalf, kWindowHalf);
      state->matchPosition -= kWindowHalf;
      state->scanPosition -= kWindowHalf;
      state->blockBegin -= static_cast<std::int32_t>(kWindowHalf);
      // Positions that fell out of the window end their chains.
      for (std::uint16_t& v : state->hashHeads) {
        v = static_cast<std::uint16_t>(v >= kWindowHalf ? v - kWindowHalf : 0);
      }
      // The same for four steps at once: a lane with its top bit set keeps
      // its low 15 bits, any other becomes 0.
      for (std::uint64_t& v : state->chainSteps) {
        const std::uint64_t high = v & 0x8000800080008000u;
        v &= high - (high >> 15);
      }
      room += kWindowHalf;
    }
    if (state->inputEnded != 0) return;
    const std::uint32_t got =
        ReadSource(state->writer, window + state->scanPosition + state->bytesAhead, room);
    if (got == 0 || state->writer->error != ErrNone) {
      state->inputEnded = 1;
      return;
    }
    state->bytesAhead += got;
    if (state->bytesAhead >= kLeastAhead) return;
  }
}

void CompressLazy(DeflateState* state) {
  std::uint8_t* window = state->slidingWindow;
  std::uint16_t* heads = state->hashHeads;
  std::uint64_t* steps = state->chainSteps;
  const ZipWriter* writer = state->writer;
  const std::uint32_t lazyLimit = state->lazyLimit;
  std::uint32_t candidate = 0;
  std::uint32_t currentLength = kShortestMatch - 1;
  bool literalPending = false;
  // The loop's registers; the record is brought up to date before every call
  // that reads or moves them.
  std::uint32_t p = state->scanPosition;
  std::uint32_t ahead = state->bytesAhead;
  std::uint32_t hash = state->rollingHash;
  std::uint32_t matchPosition = state->matchPosition;

  while (ahead != 0) {
    if (ahead >= kShortestMatch) candidate = InsertPosition(window, heads, steps, &hash, p);
    const std::uint32_t deferredPosition = matchPosition;
    const std::uint32_t deferredLength = currentLength;
    currentLength = kShortestMatch - 1;

    if (candidate != 0 && deferredLength < lazyLimit && p - candidate <= kFarthestDistance) {
      if (state->stopLength > ahead) state->stopLength = ahead;
      state->scanPosition = p;
      state->deferredLength = deferredLength;
      state->matchPosition = matchPosition;
      currentLength = FindLongestMatch(state, candidate);
      matchPosition = state->matchPosition;
    }
    if (currentLength > ahead) currentLength = ahead;
    // A 3-byte match far back costs about as much as its literals.
    if (currentLength == kShortestMatch && p - matchPosition > kFarThreeLimit) {
      currentLength = kShortestMatch - 1;
    }

    if (deferredLength >= kShortestMatch && currentLength <= deferredLength) {
      const std::uint32_t lastInsertable = p + ahead - kShortestMatch;
      state->scanPosition = p;
      const bool full = RecordSymbol(state, p - 1 - deferredPosition,
                                     static_cast<std::uint8_t>(deferredLength - kShortestMatch));
      ahead -= deferredLength - 1;
      const std::uint32_t matchEnd = p + deferredLength - 2;
      const std::uint32_t insertEnd = matchEnd < lastInsertable ? matchEnd : lastInsertable;
      for (std::uint32_t q = p + 1; q <= insertEnd; ++q) {
        candidate = InsertPosition(window, heads, steps, &hash, q);
      }
      p += deferredLength - 1;
      literalPending = false;
      currentLength = kShortestMatch - 1;
      if (full) {
        state->scanPosition = p;
        if (!FinishMidBlock(state)) return;
      }
    } else if (literalPending) {
      state->scanPosition = p;
      if (RecordSymbol(state, 0, window[p - 1]) && !FinishMidBlock(state)) return;
      ++p;
      --ahead;
    } else {
      literalPending = true;
      ++p;
      --ahead;
    }

    if (ahead < kLeastAhead) {
      state->scanPosition = p;
      state->bytesAhead = ahead;
      state->matchPosition = matchPosition;
      RefillWindow(state);
      if (writer->error != ErrNone) return;
      p = state->scanPosition;
      ahead = state->bytesAhead;
      matchPosition = state->matchPosition;
    }
  }

  state->scanPosition = p;
  state->bytesAhead = ahead;
  state->rollingHash = hash;
  state->matchPosition = matchPosition;
  state->deferredLength = currentLength;
  if (literalPending) RecordSymbol(state, 0, window[p - 1]);
  FinishBlockHere(state, 1);
}

}  // namespace zf
