// Recording one literal or match into the block buffers. Inline because the
// match loop calls it once per symbol.
#pragma once

#include <cstdint>

#include "deflate/block_split.h"
#include "deflate/deflate_state.h"

namespace zf {

// Returns true when the block must be finished before anything else is
// recorded. distance is 0 for a literal (value = the byte), else the match
// distance with value = match length - 3.
inline bool RecordSymbol(DeflateState* state, std::uint32_t distance, std::uint8_t value) {
  std::uint32_t count = state->symbolCount;
  state->symbolBuffer[count++] = value;
  state->symbolCount = count;
  if (distance == 0) {
    ++state->literalTree[value].frequency;
  } else {
    ++state->literalTree[kFirstLengthSymbol + state->lengthToCode[value]].frequency;
    const std::uint32_t d = distance - 1;
    ++state->distanceTree[DistanceCode(state, d)].frequency;
    state->distanceBuffer[state->distanceCount++] = static_cast<std::uint16_t>(d);
    state->pendingFlags = static_cast<std::uint8_t>(state->pendingFlags | state->flagMask);
  }
  state->flagMask = static_cast<std::uint8_t>(state->flagMask << 1);
  if ((count & 7) == 0) {
    state->flagBuffer[state->flagByteCount++] = state->pendingFlags;
    state->pendingFlags = 0;
    state->flagMask = 1;
  }
  if (EndsEarly(state->level) && (count % kEarlyEndStep) == 0) {
    // A block of mostly literals that codes to well under half its input has
    // found its statistics; ending it lets the next block adapt.
    std::uint32_t estimate = count * 8;
    for (int c = 0; c < kDistanceSymbols; ++c) {
      estimate += state->distanceTree[c].frequency *
                  (5u + static_cast<std::uint32_t>(distanceExtraBits[c]));
    }
    const std::uint32_t input = state->scanPosition - static_cast<std::uint32_t>(state->blockBegin);
    if (state->distanceCount < count / 2 && estimate / 8 < input / 2) return true;
  }
  if (SplitsByStatistics(state->level) && (count % kSplitStep) == 0 &&
      StepChangesStatistics(state, count)) {
    return true;
  }
  return count == kMaxBlockSymbols;
}

}  // namespace zf
