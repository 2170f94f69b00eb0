// The match finder of levels 4 to 7: chains of positions whose first four
// bytes hash alike, and a table of the newest position of each hash of
// three bytes. Apart from the chains of level 8 (hash_chains.h), whose
// bytes are fixed, because these levels are built for speed per byte and
// run a lazy loop of their own (middle_run.h) over a cheaper finder.
//
// Why this design:
// - Four bytes hashed for the chains. Chains of three-byte hashes hold
//   every position that shares three bytes, and on machine code most of a
//   walk's candidates end at the fourth byte; a chain of four-byte hashes
//   holds far fewer false ones, so a small budget goes further. A
//   candidate is taken only when its first four bytes equal the scan's,
//   one 32-bit compare.
// - One link per position, entered with one store (plus the head's): the
//   sixteen steps of level 8 copy 30 bytes per position, about a quarter
//   of that level's time, and pay off only for walks far longer than
//   these levels' budgets. The slide moves 64 KB of links, not 1 MB.
// - Three-byte matches from a table of 16,384 slots holding the newest
//   position per hash, looked at only when the chain gave nothing of four
//   bytes or more and within 16,384 bytes. On machine code such matches
//   pay up to there (a table of 4,096 slots and 4,096 bytes left libraries
//   0.3 % larger); on text they cost about what their literals do, a
//   tenth of a per cent either way. Entering p puts it in
//   the table and keeps the position it displaced for the search at p, so
//   both hashes come from one load and the search reads no slot.
// - Every position with four bytes ahead is entered, also inside matches:
//   the chains and the table at a position are a function of the input
//   before it (within the window), which is what lets a large file be
//   parsed in segments by several workers with the same bytes
//   (middle_run.h, segment_parse.cpp).
//
// Why a walk visits exactly the chain (the positions of this entry in the
// window whose four bytes hash alike, nearest first, above the search's
// limit): a link is the head set when its position was entered in this
// entry, as the heads are cleared per entry; a slot is written again only
// when the position 32,768 later is entered, and by then every walk stops
// at its old position, which lies beyond the farthest distance; a slide
// moves links and heads alike (the plain links of hash_chains.h, one hash
// wider). Window position 0 means none, as there. A position with fewer
// than four bytes ahead (the input's last three) is not entered, so no
// byte past the input's end reaches a hash; its searches, capped at the
// bytes ahead (below four), find nothing: they read neither the chain nor
// the kept table position (which is the last entered position's).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "deflate/deflate_state.h"
#include "deflate/hash_chains.h"
#include "deflate/match_search.h"

namespace zf {

inline constexpr std::uint32_t kMiddleMatch = 4;
// The farthest a three-byte match is taken from (middle_run.h).
inline constexpr std::uint32_t kMiddleFarThree = 16384;

// Four bytes read as a little-endian word, whatever the machine's order.
inline std::uint32_t LittleWord(const std::uint8_t* at) {
  std::uint32_t word = Load32(at);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
  return word;
}

// shift: 32 less the hash's width.
inline std::uint32_t FourHash(std::uint32_t word, std::uint32_t shift) {
  return (word * 0x1E35A7BDu) >> shift;
}

// The first three bytes' hash, the fourth shifted out.
inline std::uint32_t ThreeHash(std::uint32_t word, std::uint32_t shift) {
  return ((word << 8) * 0x1E35A7BDu) >> shift;
}

// The bytes a position needs ahead to be entered.
inline constexpr std::uint32_t EnterReach(const ChainSteps*) { return kShortestMatch; }
inline constexpr std::uint32_t EnterReach(const MiddleChains*) { return kMiddleMatch; }
// The farthest a three-byte match is taken from.
inline constexpr std::uint32_t FarThreeLimit(const ChainSteps*) { return kFarThreeLimit; }
inline constexpr std::uint32_t FarThreeLimit(const MiddleChains*) { return kMiddleFarThree; }

// Enters position p (four bytes ahead) at the head of its chain and into
// the three-byte table, keeping the table's position it displaced for the
// search at p. Returns a candidate that tells the lazy loop whether a
// search may find anything: p's chain successor if within reach, else that
// table position, or 0. Both hashes come from one load of four bytes.
inline std::uint32_t Enter(const std::uint8_t* window, std::uint16_t* heads, MiddleChains* chains,
                           std::uint32_t*, std::uint32_t p) {
  const std::uint32_t word = LittleWord(window + p);
  const std::uint32_t h = FourHash(word, chains->headShift);
  const std::uint32_t successor = heads[h];
  chains->links[p & kHashMask] = static_cast<std::uint16_t>(successor);
  heads[h] = static_cast<std::uint16_t>(p);
  std::uint16_t& three = chains->nearThree[ThreeHash(word, chains->threeShift)];
  chains->lastThree = three;
  three = static_cast<std::uint16_t>(p);
  if (successor != 0 && p - successor <= kFarthestDistance) return successor;
  return chains->lastThree;
}

// Enters a position inside a match, which nothing searches: as Enter, but
// the table's displaced position is not kept and no candidate is made.
inline void EnterCovered(const std::uint8_t* window, std::uint16_t* heads, MiddleChains* chains,
                         std::uint32_t p) {
  const std::uint32_t word = LittleWord(window + p);
  const std::uint32_t h = FourHash(word, chains->headShift);
  chains->links[p & kHashMask] = heads[h];
  heads[h] = static_cast<std::uint16_t>(p);
  chains->nearThree[ThreeHash(word, chains->threeShift)] = static_cast<std::uint16_t>(p);
}

// Enters the positions a match covers after its first, from first to last,
// each with four bytes ahead. The candidate stays: the loop enters the next
// position anew, and with fewer than four bytes ahead searches it for
// nothing.
inline std::uint32_t EnterRun(const std::uint8_t* window, std::uint16_t* heads,
                              MiddleChains* chains, std::uint32_t*, std::uint32_t first,
                              std::uint32_t last, std::uint32_t candidate) {
  for (std::uint32_t q = first; q <= last; ++q) EnterCovered(window, heads, chains, q);
  return candidate;
}

// The search at scanPosition for a match longer than best (at least 2):
// along the chain while fewer than budget positions were visited, then,
// with nothing of four bytes or more found and best below three, the
// table's three-byte candidate. Lengths reach stop at most (the level's
// nice length, capped at the bytes ahead); the nearest of equally long
// matches wins; *matchPosition changes only when one is found.
inline std::uint32_t SearchMiddle(const std::uint8_t* window, const MiddleChains* chains,
                                  std::uint32_t scanPosition, std::uint32_t best,
                                  std::uint32_t budget, std::uint32_t stop,
                                  std::uint32_t* matchPosition) {
  const std::uint8_t* scan = window + scanPosition;
  const std::uint32_t limit =
      scanPosition > kFarthestDistance ? scanPosition - kFarthestDistance : 0;
  const std::uint32_t least = best;
  if (stop >= kMiddleMatch) {
    // A longer match agrees with the scan in its first four bytes and in
    // the eight ending at offset best (bytes 0 to best while best is below
    // 7); those two compares reject almost every false candidate.
    std::uint32_t found = best < kMiddleMatch - 1 ? kMiddleMatch - 1 : best;
    std::uint32_t tailAt = 0;
    std::uint64_t tailMask = 0;
    TailWindow(found, &tailAt, &tailMask);
    std::uint64_t scanTail = Load64(scan + tailAt) & tailMask;
    const std::uint32_t scanStart = Load32(scan);
    for (std::uint32_t m = chains->links[scanPosition & kHashMask]; m > limit && budget != 0;
         m = chains->links[m & kHashMask], --budget) {
      const std::uint8_t* match = window + m;
      if (((Load64(match + tailAt) & tailMask) ^ scanTail) != 0 || Load32(match) != scanStart)
          [[likely]] {
        continue;
      }
      const std::uint32_t length = CommonLength(scan, match);
      if (length <= found) continue;
      *matchPosition = m;
      found = length;
      if (found >= stop) return found;
      TailWindow(found, &tailAt, &tailMask);
      scanTail = Load64(scan + tailAt) & tailMask;
    }
    if (found > least && found >= kMiddleMatch) return found;
  }
  if (least >= kShortestMatch || stop < kMiddleMatch) return least;
  const std::uint32_t m = chains->lastThree;
  if (m <= limit || scanPosition - m > kMiddleFarThree) return least;
  if (Load16(window + m) != Load16(scan) || window[m + 2] != scan[2]) return least;
  *matchPosition = m;
  return kShortestMatch;
}

// The lazy run's search. Behind a deferred match it takes half the budget
// (a quarter from the level's good length on) and looks for one at least
// as long, which may still win by its distance (KeepsDeferred). On machine
// code the halving saved 4 % of the time for 0.08 % in size.
inline std::uint32_t LazySearch(DeflateState* state, const MiddleChains* chains, std::uint32_t) {
  const std::uint32_t deferred = state->deferredLength;
  std::uint32_t budget = state->chainLimit;
  std::uint32_t least = deferred;
  if (deferred >= state->reduceChainAt) {
    budget >>= 2;
    least = deferred - 1;
  } else if (deferred >= kShortestMatch) {
    budget >>= 1;
    least = deferred - 1;
  }
  return SearchMiddle(state->slidingWindow, chains, state->scanPosition, least, budget,
                      state->stopLength, &state->matchPosition);
}

// The distance's share of a match's bits, in doublings.
inline std::uint32_t DistanceLog(std::uint32_t distance) {
  return static_cast<std::uint32_t>(std::bit_width(distance));
}

// Whether the match deferred from the position before beats the one found
// at this position (length, distance), by estimated bits: a byte more
// covered is worth kByteWorth doublings of the distance, and the literal
// that taking this one leaves behind asks for a margin of kTakeNextMargin.
// Against taking the longer one always, as level 8 does, libraries came
// out 0.3 % smaller and text 0.1 %; worths of 3 to 6 and margins of 1 to 3
// were within 0.02 % of these.
inline constexpr std::uint32_t kByteWorth = 4;
inline constexpr std::uint32_t kTakeNextMargin = 2;
inline bool KeepsDeferred(const MiddleChains*, std::uint32_t length, std::uint32_t distance,
                          std::uint32_t deferredLength, std::uint32_t deferredDistance) {
  return length < deferredLength ||
         kByteWorth * length + DistanceLog(deferredDistance) <=
             kByteWorth * deferredLength + DistanceLog(distance) + kTakeNextMargin;
}

// A new entry's heads and table, from the input's length when the first
// window holds it whole (else 0): a hash as wide as that length's bits (10
// to 15, the table's at most kMiddleThreeBits), so that a small file
// clears only the slots it can use. On a tree of small headers, clearing
// whole tables took 15 % of the instructions.
inline void ClearMiddle(std::uint16_t* heads, MiddleChains* chains, std::uint32_t wholeInput) {
  std::uint32_t bits = kMiddleHeadBits;
  if (wholeInput != 0) {
    const auto width = static_cast<std::uint32_t>(std::bit_width(wholeInput));
    bits = width < kMiddleLeastBits ? kMiddleLeastBits : width < bits ? width : bits;
  }
  const std::uint32_t threeBits = bits < kMiddleThreeBits ? bits : kMiddleThreeBits;
  chains->headShift = 32 - bits;
  chains->threeShift = 32 - threeBits;
  std::memset(heads, 0, sizeof heads[0] << bits);
  std::memset(chains->nearThree, 0, sizeof chains->nearThree[0] << threeBits);
  chains->lastThree = 0;
}

inline void SlideMiddle(std::uint16_t* heads, MiddleChains* chains) {
  SlideLinks(heads, chains->links);
  for (std::uint16_t& slot : chains->nearThree) slot = SlidePosition(slot);
  chains->lastThree = SlidePosition(chains->lastThree);
}

// Enters window position q before a parse starts there, as the loop would.
inline void EnterAhead(DeflateState* state, std::uint32_t* hash, std::uint32_t q) {
  if (UsesMiddleChains(state->level)) {
    Enter(state->slidingWindow, state->hashHeads, &state->middle, hash, q);
  } else {
    InsertPosition(state->slidingWindow, state->hashHeads, state->chainSteps, hash, q);
  }
}

}  // namespace zf
