// The match loop: the sliding window, hash chains, the search along one
// chain and the one-step lazy decision between a match and a literal.
#include <bit>
#include <cstring>

#include "deflate/deflate_internal.h"
#include "deflate/hash_chains.h"
#include "deflate/record_symbol.h"

namespace zf {
namespace {

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
inline std::uint32_t SearchChain(const std::uint8_t* window, const ChainSteps* steps,
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
  WalkChain(steps, candidate, limit, budget, [&](std::uint32_t m) {
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
  });
  return best;
}

// After a good match the next position is searched less thoroughly.
inline std::uint32_t ChainBudget(std::uint32_t chainLimit, std::uint32_t reduceChainAt,
                                 std::uint32_t deferredLength) {
  return deferredLength >= reduceChainAt ? chainLimit >> 2 : chainLimit;
}

// Ends the block collected from blockBegin up to scanPosition. Its bytes go
// along only while they are all still in the window, since only then can it
// be sent stored.
void FinishBlockHere(DeflateState* state, std::uint32_t last) {
  const std::uint8_t* data =
      state->blockBegin >= 0 ? state->slidingWindow + state->blockBegin : nullptr;
  FinishBlock(state, data, state->scanPosition - static_cast<std::uint32_t>(state->blockBegin),
              last);
}

// Finishes the block collected so far, in the middle of the input. Returns
// false when the output failed and the run must stop.
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
      SlideChains(state->hashHeads, state->chainSteps);
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
  ChainSteps* steps = state->chainSteps;
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
