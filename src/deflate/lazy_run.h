// The lazy run of levels 4 to 8: the one-step lazy decision between a match
// and a literal, over level 8's chains of steps (hash_chains.h) or the
// four-byte chains of levels 4 to 7 (middle_chains.h), which weigh the two
// matches by their estimated bits and search on their own terms (the
// overloads of LazySearch, KeepsDeferred and FarThreeLimit there). A template over what
// receives its symbols, because two callers run the very same loop: the
// compressor alone, whose symbols fill the block buffers (compress_run.cpp),
// and the parse of one segment of a large input (segment_parse.cpp), whose
// symbols are joined to the others' and sent on one thread. That the loop
// is shared is what makes the joined stream the one the compressor alone
// makes.
//
// Why a parse started anywhere agrees with the true one once both stand at
// the same position with nothing deferred and no literal pending (the
// point just after a match): every position before the scan, also inside
// matches, is entered into the chains, so the chains at a position are a
// function of the input alone; the search depends on them, on the position
// and on the deferred match only; and the loop keeps no other state from
// one position to the next (the successor is entered anew at each, the
// stop length is lowered only within the last bytes of the input). Window
// positions differ between parses by multiples of 32,768, which changes
// nothing: window position 0 ("no successor") lies more than the farthest
// distance behind every scan once the window has slid, since it slides only
// when full and then leaves the scan at 32,507 or more.
#pragma once

#include <cstdint>

#include "deflate/deflate_internal.h"
#include "deflate/hash_chains.h"
#include "deflate/match_search.h"
#include "deflate/middle_chains.h"
#include "deflate/record_symbol.h"

namespace zf {

// After a good match the next position is searched less thoroughly.
inline std::uint32_t ChainBudget(std::uint32_t chainLimit, std::uint32_t reduceChainAt,
                                 std::uint32_t deferredLength) {
  return deferredLength >= reduceChainAt ? chainLimit >> 2 : chainLimit;
}

// The search of the lazy run over either form of the chains.
template <typename Chains>
inline std::uint32_t LazySearch(DeflateState* state, const Chains* chains,
                                std::uint32_t candidate) {
  return SearchChain(state->slidingWindow, chains, state->scanPosition, candidate,
                     state->deferredLength,
                     ChainBudget(state->chainLimit, state->reduceChainAt, state->deferredLength),
                     state->stopLength, &state->matchPosition);
}

// Whether the match deferred from the position before beats the one found
// at this position (length, distance): for level 8, unless this one is
// longer.
inline bool KeepsDeferred(const ChainSteps*, std::uint32_t length, std::uint32_t,
                          std::uint32_t deferredLength, std::uint32_t) {
  return length <= deferredLength;
}

inline std::uint32_t Enter(const std::uint8_t* window, std::uint16_t* heads, ChainSteps* steps,
                           std::uint32_t* hash, std::uint32_t p) {
  return InsertPosition(window, heads, steps, hash, p);
}

// Enters the positions a match covers after its first, from first to last;
// returns the candidate the last one gives (candidate when there are none).
template <typename Chains>
inline std::uint32_t EnterRun(const std::uint8_t* window, std::uint16_t* heads, Chains* chains,
                              std::uint32_t* hash, std::uint32_t first, std::uint32_t last,
                              std::uint32_t candidate) {
  for (std::uint32_t q = first; q <= last; ++q) {
    candidate = Enter(window, heads, chains, hash, q);
  }
  return candidate;
}

// Runs the lazy loop from the state's scan position with its paused loop
// variables. Recorder receives the symbols:
// - Literal(state, byte) and Match(state, distance, length - 3) record one,
//   with scanPosition one past its first byte; true asks for AfterSymbol,
//   called with scanPosition just past the symbol, which returns false to
//   stop the run;
// - with kPauses, AtPause(state) is asked at the end of every step that
//   reaches recorder->pauseAt (an input offset); false stops the run there,
//   its variables kept in the state so that a later call goes on exactly;
// - End(state) once the input is used up.
template <typename Chains, typename Recorder>
void LazyRun(DeflateState* state, Chains* chains, Recorder* recorder) {
  std::uint8_t* window = state->slidingWindow;
  std::uint16_t* heads = state->hashHeads;
  const std::uint32_t lazyLimit = state->lazyLimit;
  // The loop's registers; the record is brought up to date before every call
  // that reads or moves them.
  std::uint32_t candidate = state->loopCandidate;
  std::uint32_t currentLength = state->loopLength;
  bool literalPending = state->loopLiteralPending;
  std::uint32_t p = state->scanPosition;
  std::uint32_t ahead = state->bytesAhead;
  std::uint32_t hash = state->rollingHash;
  std::uint32_t matchPosition = state->matchPosition;

  while (ahead != 0) {
    if (ahead >= EnterReach(chains)) candidate = Enter(window, heads, chains, &hash, p);
    const std::uint32_t deferredPosition = matchPosition;
    const std::uint32_t deferredLength = currentLength;
    currentLength = kShortestMatch - 1;

    if (candidate != 0 && deferredLength < lazyLimit && p - candidate <= kFarthestDistance) {
      if (state->stopLength > ahead) state->stopLength = ahead;
      state->scanPosition = p;
      state->deferredLength = deferredLength;
      state->matchPosition = matchPosition;
      currentLength = LazySearch(state, chains, candidate);
      matchPosition = state->matchPosition;
    }
    if (currentLength > ahead) currentLength = ahead;
    // A 3-byte match far back costs about as much as its literals.
    if (currentLength == kShortestMatch && p - matchPosition > FarThreeLimit(chains)) {
      currentLength = kShortestMatch - 1;
    }

    if (deferredLength >= kShortestMatch &&
        KeepsDeferred(chains, currentLength, p - matchPosition, deferredLength,
                      p - 1 - deferredPosition)) {
      const std::uint32_t lastInsertable = p + ahead - EnterReach(chains);
      state->scanPosition = p;
      const bool full = recorder->Match(state, p - 1 - deferredPosition,
                                        static_cast<std::uint8_t>(deferredLength - kShortestMatch));
      ahead -= deferredLength - 1;
      const std::uint32_t matchEnd = p + deferredLength - 2;
      const std::uint32_t insertEnd = matchEnd < lastInsertable ? matchEnd : lastInsertable;
      candidate = EnterRun(window, heads, chains, &hash, p + 1, insertEnd, candidate);
      p += deferredLength - 1;
      literalPending = false;
      currentLength = kShortestMatch - 1;
      if (full) {
        state->scanPosition = p;
        if (!recorder->AfterSymbol(state)) return;
      }
    } else if (literalPending) {
      state->scanPosition = p;
      if (recorder->Literal(state, window[p - 1]) && !recorder->AfterSymbol(state)) return;
      ++p;
      --ahead;
    } else {
      literalPending = true;
      ++p;
      --ahead;
    }

    if (ahead < kLeastAhead && !RefillFromLoop(state, &p, &ahead, &matchPosition)) return;
    if constexpr (Recorder::kPauses) {
      if (state->windowBase + p >= recorder->pauseAt) {
        state->scanPosition = p;
        state->bytesAhead = ahead;
        state->rollingHash = hash;
        state->matchPosition = matchPosition;
        state->loopCandidate = candidate;
        state->loopLength = currentLength;
        state->loopLiteralPending = literalPending;
        if (!recorder->AtPause(state)) return;
      }
    }
  }

  state->scanPosition = p;
  state->bytesAhead = ahead;
  state->rollingHash = hash;
  state->matchPosition = matchPosition;
  state->deferredLength = currentLength;
  if (literalPending) recorder->Literal(state, window[p - 1]);
  recorder->End(state);
}

// The lazy run of the compressor alone: its symbols fill this state's
// block buffers, and a full block is sent at once.
struct BlockRecorder {
  static constexpr bool kPauses = false;
  static bool Literal(DeflateState* state, std::uint8_t byte) {
    return RecordSymbol(state, 0, byte);
  }
  static bool Match(DeflateState* state, std::uint32_t distance, std::uint8_t lengthCode) {
    return RecordSymbol(state, distance, lengthCode);
  }
  static bool AfterSymbol(DeflateState* state) { return FinishMidBlock(state); }
  static void End(DeflateState* state) { FinishBlockHere(state, 1); }
};

// Runs the lazy loop over the finder of the state's level.
template <typename Recorder>
void RunLazyLevel(DeflateState* state, Recorder* recorder) {
  if (UsesMiddleChains(state->level)) {
    LazyRun(state, &state->middle, recorder);
  } else {
    LazyRun(state, state->chainSteps, recorder);
  }
}

}  // namespace zf
