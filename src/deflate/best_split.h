// Where a block of level 9 ends. Apart from the split by statistics of the
// other levels (block_split.h) because level 9 knows more when it decides:
// a chunk's whole path is chosen before any of its symbols is recorded, so
// the symbols after a candidate end are known, and the decision can weigh
// bits rather than shares of kinds. On machine code, where the statistics
// change often, the block ends decide more of the size than the parse.
//
// The decision, every kBestSplitStep symbols of a chunk: the block so far
// (its counts, kept by the recording of symbols) and the next up to
// kBestSplitLookahead symbols of the chunk would code in about E(block) +
// E(next) bits as two blocks and E(block + next) as one, E being the
// entropy of the counts of literals and lengths plus that of the distance
// codes (extra bits are the same either way). The block ends when two
// blocks save more than kBestSplitBits, about what the second block's
// header costs, and the block holds at least kLeastBestBlock symbols.
//
// Why the bytes stay the same however the input is split across workers:
// the decision reads the block's counts and the chunk's own symbols only,
// so a state that records the same symbols from the same block start (a
// replay, or the parse of a piece counting its blocks without sending
// them) decides the same.
//
// What it costs: per step, one count of the next symbols and three sums of
// c log2 c over the 316 symbols, a small share of the parse's time.
#pragma once

#include <cmath>
#include <cstdint>

#include "deflate/deflate_state.h"

namespace zf {

inline constexpr std::uint32_t kBestSplitStep = 256;
inline constexpr std::uint32_t kBestSplitLookahead = 4096;
inline constexpr std::uint32_t kLeastBestBlock = 256;
inline constexpr double kBestSplitBits = 150.0;
inline constexpr double kBestHeaderBitsPerSymbol = 2.5;

// The entropy of counts, in bits: N log2 N - sum c log2 c.
inline double CountBits(const std::uint32_t* counts, std::uint32_t n) {
  double total = 0;
  double sum = 0;
  for (std::uint32_t k = 0; k < n; ++k) {
    if (counts[k] == 0) continue;
    const double c = counts[k];
    total += c;
    sum += c * std::log2(c);
  }
  return total > 0 ? total * std::log2(total) - sum : 0.0;
}

// Adds the counts of n symbols (as in compress_best.cpp: the byte or the
// length - 3 in the low 8 bits, the distance above) to counts, literals and
// lengths first, then distance codes.
inline void CountSymbols(const DeflateState* state, const std::uint32_t* symbols, std::uint32_t n,
                         std::uint32_t* counts) {
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::uint32_t distance = symbols[k] >> 8;
    const std::uint32_t value = symbols[k] & 0xFF;
    if (distance == 0) {
      ++counts[value];
    } else {
      ++counts[kFirstLengthSymbol + state->lengthToCode[value]];
      ++counts[kLiteralSymbols + DistanceCode(state, distance - 1)];
    }
  }
}

inline double SplitBits(const std::uint32_t* counts) {
  return CountBits(counts, kLiteralSymbols) + CountBits(counts + kLiteralSymbols, kDistanceSymbols);
}

// What ending the block after its symbols and the n before next (the
// block's counts, those n added) saves against the header it costs, for the
// up to kBestSplitLookahead symbols from next on (there are left).
inline double SplitGain(const DeflateState* state, const std::uint32_t* next, std::uint32_t n,
                        std::uint32_t left) {
  constexpr std::uint32_t kAll = kLiteralSymbols + kDistanceSymbols;
  std::uint32_t block[kAll];
  for (int c = 0; c < kLiteralSymbols; ++c) block[c] = state->literalTree[c].frequency;
  for (int c = 0; c < kDistanceSymbols; ++c) {
    block[kLiteralSymbols + c] = state->distanceTree[c].frequency;
  }
  CountSymbols(state, next - n, n, block);
  std::uint32_t ahead[kAll] = {};
  CountSymbols(state, next, left < kBestSplitLookahead ? left : kBestSplitLookahead, ahead);
  std::uint32_t joined[kAll];
  std::uint32_t used = 0;
  for (std::uint32_t c = 0; c < kAll; ++c) {
    joined[c] = block[c] + ahead[c];
    used += ahead[c] != 0 ? 1u : 0u;
  }
  // The second block's header: about kBestHeaderBitsPerSymbol for each
  // symbol it would use.
  return SplitBits(joined) - SplitBits(block) - SplitBits(ahead) - kBestSplitBits -
         kBestHeaderBitsPerSymbol * used;
}

// Whether the block ends before next, with left symbols from there to the
// chunk's end: it saves bits there, and more than it would a step later.
inline bool BestBlockEndsBefore(const DeflateState* state, const std::uint32_t* next,
                                std::uint32_t left) {
  if (state->symbolCount < kLeastBestBlock || left < kBestSplitStep) return false;
  const double gain = SplitGain(state, next, 0, left);
  if (gain <= 0) return false;
  if (left < 2 * kBestSplitStep) return true;
  return gain >= SplitGain(state, next + kBestSplitStep, kBestSplitStep, left - kBestSplitStep);
}

}  // namespace zf
