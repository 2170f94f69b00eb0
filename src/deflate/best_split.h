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
// What it costs: per step, three sums of c log2 c over the 316 symbols and
// the counts of the symbols the look-ahead leaves and reaches (counting
// the whole look-ahead at each step took 4 to 5 % of level 9's time).
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
// lengths first, then distance codes; with add ~0u, takes them away.
inline void CountSymbols(const DeflateState* state, const std::uint32_t* symbols, std::uint32_t n,
                         std::uint32_t* counts, std::uint32_t add = 1) {
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::uint32_t distance = symbols[k] >> 8;
    const std::uint32_t value = symbols[k] & 0xFF;
    if (distance == 0) {
      counts[value] += add;
    } else {
      counts[kFirstLengthSymbol + state->lengthToCode[value]] += add;
      counts[kLiteralSymbols + DistanceCode(state, distance - 1)] += add;
    }
  }
}

inline double SplitBits(const std::uint32_t* counts) {
  return CountBits(counts, kLiteralSymbols) + CountBits(counts + kLiteralSymbols, kDistanceSymbols);
}

inline constexpr std::uint32_t kSplitCountKinds = kLiteralSymbols + kDistanceSymbols;

// The counts of the up to kBestSplitLookahead symbols of a chunk from
// symbol from on (to: one past the last counted), moved on with the
// decisions: a step on takes away the symbols it leaves and adds those it
// reaches, rather than counting the look-ahead again. Starts all zero.
struct SplitAhead {
  std::uint32_t counts[kSplitCountKinds];
  std::uint32_t from;
  std::uint32_t to;
};

inline void MoveAhead(const DeflateState* state, const std::uint32_t* symbols, std::uint32_t count,
                      std::uint32_t from, SplitAhead* ahead) {
  const std::uint32_t to = count - from < kBestSplitLookahead ? count : from + kBestSplitLookahead;
  if (from < ahead->from || from >= ahead->to) {
    for (std::uint32_t& c : ahead->counts) c = 0;
    CountSymbols(state, symbols + from, to - from, ahead->counts);
  } else {
    CountSymbols(state, symbols + ahead->from, from - ahead->from, ahead->counts, ~0u);
    CountSymbols(state, symbols + ahead->to, to - ahead->to, ahead->counts);
  }
  ahead->from = from;
  ahead->to = to;
}

// What ending the block after its symbols and the n before next (the
// block's counts, those n added) saves against the header it costs, for
// the symbols counted in ahead.
inline double SplitGain(const DeflateState* state, const std::uint32_t* next, std::uint32_t n,
                        const std::uint32_t* ahead) {
  std::uint32_t block[kSplitCountKinds];
  for (int c = 0; c < kLiteralSymbols; ++c) block[c] = state->literalTree[c].frequency;
  for (int c = 0; c < kDistanceSymbols; ++c) {
    block[kLiteralSymbols + c] = state->distanceTree[c].frequency;
  }
  CountSymbols(state, next - n, n, block);
  std::uint32_t joined[kSplitCountKinds];
  std::uint32_t used = 0;
  for (std::uint32_t c = 0; c < kSplitCountKinds; ++c) {
    joined[c] = block[c] + ahead[c];
    used += ahead[c] != 0 ? 1u : 0u;
  }
  // The second block's header: about kBestHeaderBitsPerSymbol for each
  // symbol it would use.
  return SplitBits(joined) - SplitBits(block) - SplitBits(ahead) - kBestSplitBits -
         kBestHeaderBitsPerSymbol * used;
}

// Whether the block ends before the chunk's symbol k of count: it saves
// bits there, and more than it would a step later.
inline bool BestBlockEndsBefore(const DeflateState* state, const std::uint32_t* symbols,
                                std::uint32_t count, std::uint32_t k, SplitAhead* ahead) {
  const std::uint32_t left = count - k;
  if (state->symbolCount < kLeastBestBlock || left < kBestSplitStep) return false;
  MoveAhead(state, symbols, count, k, ahead);
  const double gain = SplitGain(state, symbols + k, 0, ahead->counts);
  if (gain <= 0) return false;
  if (left < 2 * kBestSplitStep) return true;
  MoveAhead(state, symbols, count, k + kBestSplitStep, ahead);
  return gain >= SplitGain(state, symbols + k + kBestSplitStep, kBestSplitStep, ahead->counts);
}

}  // namespace zf
