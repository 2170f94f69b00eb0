// The sliding window and its refill, the end of a block in the window, and
// the lazy run of the compressor alone (lazy_run.h).
#include <cstring>

#include "deflate/deflate_internal.h"
#include "deflate/hash_chains.h"
#include "deflate/lazy_run.h"
#include "deflate/record_symbol.h"

namespace zf {

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
  if (state->failed) return false;
  state->blockBegin = static_cast<std::int32_t>(state->scanPosition);
  return true;
}

std::uint32_t ReadInput(DeflateState* state, std::uint8_t* into, std::uint32_t count) {
  std::uint32_t got = 0;
  if (state->failed) return 0;
  if (!state->source.read(state->source.context, into, count, &got)) {
    state->failed = true;
    return 0;
  }
  return got;
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
      state->windowBase += kWindowHalf;
      // A replay of symbols parsed elsewhere keeps no chains.
      if (state->chainsKept != 0) {
        if (UsesTable(state->level)) {
          SlideTable(state);
        } else if (ParsesBest(state->level)) {
          SlideTree(state);
        } else if (UsesMiddleChains(state->level)) {
          SlideMiddle(state->hashHeads, &state->middle);
        } else {
          SlideChains(state->hashHeads, state->chainSteps);
        }
      }
      room += kWindowHalf;
    }
    if (state->inputEnded != 0) return;
    const std::uint32_t got =
        ReadInput(state, window + state->scanPosition + state->bytesAhead, room);
    if (got == 0) {
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
  if (state->failed) return false;
  *p = state->scanPosition;
  *ahead = state->bytesAhead;
  *matchPosition = state->matchPosition;
  return true;
}

void CompressLazy(DeflateState* state) {
  if (ParsesBest(state->level)) {
    CompressBest(state);
    return;
  }
  BlockRecorder recorder;
  RunLazyLevel(state, &recorder);
}

}  // namespace zf
