// Where a block of every level but the default ends early: when
// the symbols lately recorded are spread unlike the block's so far. One
// Huffman code per block fits the block's statistics on average, so a block
// that runs across a change of data (code into tables, text into an embedded
// image) codes both halves with a compromise; ending it at the change lets
// each part have its own code. Apart from the recording of symbols (the
// lazy run's RecordSymbol, the fast run's cursor) because both take this one
// decision, with its own figures, once per step of kSplitStep symbols, off
// the per-symbol path.
//
// Why it costs little: each step looks at its own kSplitStep symbols once
// (a literal's top three bits, a match's length short or long) and adds them
// to the block's ten counts, so the work is a small fraction of recording.
// Why the bytes stay the same however a large input is split across
// workers: the decision reads only the block buffers (the symbols, their
// flags) and counts kept beside them, reset with the block; a replay of the
// same symbols fills the same buffers in the same order.
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"

namespace zf {

// Whether the block ends after its last step, count being the block's
// symbols (a multiple of kSplitStep, their flags all in flagBuffer): the
// step's symbols differ from the earlier ones by more than
// kSplitDistanceNumerator / kSplitDistanceDenominator in the sum of the
// kinds' absolute differences of shares, and the block held at least
// kLeastSplitBlock symbols before them. The step's counts join the block's.
inline bool StepChangesStatistics(DeflateState* state, std::uint32_t count) {
  std::uint32_t step[kSplitKinds] = {};
  const std::uint8_t* flags = state->flagBuffer + count / 8 - kSplitStep / 8;
  const std::uint8_t* values = state->symbolBuffer + count - kSplitStep;
  for (std::uint32_t i = 0; i < kSplitStep; ++i) {
    const bool match = ((flags[i >> 3] >> (i & 7)) & 1) != 0;
    const std::uint32_t kind =
        match ? kSplitLiteralKinds + (values[i] >= kSplitLongMatch ? 1u : 0u) : values[i] >> 5;
    ++step[kind];
  }
  const std::uint32_t before = count - kSplitStep;
  bool ends = false;
  if (before >= kLeastSplitBlock) {
    // sum |step/kSplitStep - block/before| > numerator/denominator, in integers.
    std::uint64_t spread = 0;
    for (std::uint32_t k = 0; k < kSplitKinds; ++k) {
      const std::int64_t a = std::int64_t{step[k]} * before;
      const std::int64_t b = std::int64_t{state->splitCounts[k]} * kSplitStep;
      spread += static_cast<std::uint64_t>(a > b ? a - b : b - a);
    }
    ends = spread * kSplitDistanceDenominator >
           std::uint64_t{kSplitDistanceNumerator} * before * kSplitStep;
  }
  for (std::uint32_t k = 0; k < kSplitKinds; ++k) state->splitCounts[k] += step[k];
  return ends;
}

}  // namespace zf
