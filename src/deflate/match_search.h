// The search for the longest match along one hash chain, shared by the
// lazy run (levels 4 to 9) and the fast run (levels 1 to 3). Apart from both
// loops because it is the same search over either form of the chains
// (hash_chains.h), and most of the compressor's time at the higher levels.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "deflate/deflate_state.h"
#include "deflate/hash_chains.h"

namespace zf {

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

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The top bits of a word of four input bytes times 0x1E35A7BD, the word read
// in little-endian order whatever the machine's; shift is 32 less the bits.
inline std::uint32_t WordHash(std::uint32_t word, std::uint32_t shift) {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
  return (word * 0x1E35A7BDu) >> shift;
}

// The common run of scan and match, known to agree in their first from
// bytes, up to most (at most 258). Reads up to 7 bytes past most.
inline std::uint32_t ExtendMatch(const std::uint8_t* scan, const std::uint8_t* match,
                                 std::uint32_t from, std::uint32_t most) {
  std::uint32_t length = from;
  while (length < most) {
    const std::uint64_t diff = Load64(scan + length) ^ Load64(match + length);
    if (diff != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        length += static_cast<std::uint32_t>(std::countr_zero(diff)) >> 3;
      } else {
        length += static_cast<std::uint32_t>(std::countl_zero(diff)) >> 3;
      }
      break;
    }
    length += 8;
  }
  return length < most ? length : most;
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
// Chains is the form the chains are kept in: ChainSteps (the lazy run) or
// the plain links (the fast run); both walks visit the same positions.
template <typename Chains>
inline std::uint32_t SearchChain(const std::uint8_t* window, const Chains* chains,
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
  if constexpr (std::is_same_v<Chains, ChainSteps>) {
    WalkChain(chains, candidate, limit, budget, visit);
  } else {
    WalkLinks(chains, candidate, limit, budget, visit);
  }
  return best;
}

}  // namespace zf
