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
// Why it costs little: the kinds are a literal's top three bits and a match
// short or long, and the boundary between short and long falls between two
// length codes, so each kind's count in the block is a sum of the block's
// symbol frequencies, which recording keeps anyway. A step sums 8 runs of 32
// literal frequencies and the length codes' (285 loads per 512 symbols)
// instead of looking at its symbols one by one, whose ten counters made one
// long chain of dependent increments.
// Why the bytes stay the same however a large input is split across
// workers: the decision reads only the block's symbol frequencies and counts
// kept beside them, reset with the block; a replay of the same symbols
// counts the same frequencies in the same order.
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"

namespace zf {

// Whether the block ends after its last step, count being the block's
// symbols (a multiple of kSplitStep, each counted in the trees' frequencies): the
// step's symbols differ from the earlier ones by more than
// kSplitDistanceNumerator / kSplitDistanceDenominator in the sum of the
// kinds' absolute differences of shares, and the block held at least
// kLeastSplitBlock symbols before them. The step's counts join the block's.
inline bool StepChangesStatistics(DeflateState* state, std::uint32_t count) {
  const TreeNode* tree = state->literalTree;
  std::uint32_t step[kSplitKinds];
  for (std::uint32_t k = 0; k < kSplitLiteralKinds; ++k) {
    std::uint32_t sum = 0;
    for (std::uint32_t n = 0; n < 32; ++n) sum += tree[k * 32 + n].frequency;
    step[k] = sum;
  }
  // Lengths 3 to 10 have a code each, so value kSplitLongMatch starts one.
  const std::uint32_t firstLong =
      std::uint32_t{kFirstLengthSymbol} + state->lengthToCode[kSplitLongMatch];
  std::uint32_t shorter = 0;
  std::uint32_t longer = 0;
  for (std::uint32_t n = kFirstLengthSymbol; n < firstLong; ++n) shorter += tree[n].frequency;
  for (std::uint32_t n = firstLong; n < std::uint32_t{kLiteralSymbols}; ++n)
    longer += tree[n].frequency;
  step[kSplitLiteralKinds] = shorter;
  step[kSplitLiteralKinds + 1] = longer;
  // The block's counts are those of its whole steps before this one.
  for (std::uint32_t k = 0; k < kSplitKinds; ++k) step[k] -= state->splitCounts[k];
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
