// The match loop: the sliding window, hash chains, the search along one
// chain and the one-step lazy decision between a match and a literal.
#include <cstring>

#include "deflate/deflate_internal.h"
#include "deflate/hash_chains.h"
#include "deflate/match_search.h"
#include "deflate/record_symbol.h"

namespace zf {
namespace {

// After a good match the next position is searched less thoroughly.
inline std::uint32_t ChainBudget(std::uint32_t chainLimit, std::uint32_t reduceChainAt,
                                 std::uint32_t deferredLength) {
  return deferredLength >= reduceChainAt ? chainLimit >> 2 : chainLimit;
}

// The search of the lazy run over either form of the chains.
template <typename Chains>
inline std::uint32_t SearchFrom(DeflateState* state, const Chains* chains,
                                std::uint32_t candidate) {
  return SearchChain(state->slidingWindow, chains, state->scanPosition, candidate,
                     state->deferredLength,
                     ChainBudget(state->chainLimit, state->reduceChainAt, state->deferredLength),
                     state->stopLength, &state->matchPosition);
}

inline std::uint32_t Enter(const std::uint8_t* window, std::uint16_t* heads, ChainSteps* steps,
                           std::uint32_t* hash, std::uint32_t p) {
  return InsertPosition(window, heads, steps, hash, p);
}

inline std::uint32_t Enter(const std::uint8_t* window, std::uint16_t* heads, std::uint16_t* links,
                           std::uint32_t* hash, std::uint32_t p) {
  return InsertLink(window, heads, links, hash, p);
}

}  // namespace

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

std::uint32_t FindLongestMatch(DeflateState* state, std::uint32_t candidate) {
  if (KeepsLinks(state->level)) return SearchFrom(state, state->chainLinks, candidate);
  return SearchFrom(state, state->chainSteps, candidate);
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
      if (KeepsLinks(state->level)) {
        SlideLinks(state->hashHeads, state->chainLinks);
      } else {
        SlideChains(state->hashHeads, state->chainSteps);
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

bool RefillFromLoop(DeflateState* state, std::uint32_t* p, std::uint32_t* ahead,
                    std::uint32_t* matchPosition) {
  state->scanPosition = *p;
  state->bytesAhead = *ahead;
  state->matchPosition = *matchPosition;
  RefillWindow(state);
  if (state->writer->error != ErrNone) return false;
  *p = state->scanPosition;
  *ahead = state->bytesAhead;
  *matchPosition = state->matchPosition;
  return true;
}

namespace {

template <typename Chains>
void LazyRun(DeflateState* state, Chains* chains) {
  std::uint8_t* window = state->slidingWindow;
  std::uint16_t* heads = state->hashHeads;
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
    if (ahead >= kShortestMatch) candidate = Enter(window, heads, chains, &hash, p);
    const std::uint32_t deferredPosition = matchPosition;
    const std::uint32_t deferredLength = currentLength;
    currentLength = kShortestMatch - 1;

    if (candidate != 0 && deferredLength < lazyLimit && p - candidate <= kFarthestDistance) {
      if (state->stopLength > ahead) state->stopLength = ahead;
      state->scanPosition = p;
      state->deferredLength = deferredLength;
      state->matchPosition = matchPosition;
      currentLength = SearchFrom(state, chains, candidate);
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
        candidate = Enter(window, heads, chains, &hash, q);
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

    if (ahead < kLeastAhead && !RefillFromLoop(state, &p, &ahead, &matchPosition)) return;
  }

  state->scanPosition = p;
  state->bytesAhead = ahead;
  state->rollingHash = hash;
  state->matchPosition = matchPosition;
  state->deferredLength = currentLength;
  if (literalPending) RecordSymbol(state, 0, window[p - 1]);
  FinishBlockHere(state, 1);
}

}  // namespace

void CompressLazy(DeflateState* state) {
  if (KeepsLinks(state->level)) {
    LazyRun(state, state->chainLinks);
  } else {
    LazyRun(state, state->chainSteps);
  }
}

}  // namespace zf
