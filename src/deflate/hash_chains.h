// The hash chains of the match search: entering a position, the walk along
// a chain and the slide of both. Apart from the rest of the match loop
// because the walk is where the compressor spends most of its time, and its
// stored form is what makes it fast.
//
// A chain links each window position to the nearest earlier one whose first
// three bytes have the same hash (its successor; 0 for none). Following one
// link per load, the walk waits for each load before it knows the next
// candidate. So each position keeps its next sixteen chain positions at
// once (its steps), and one load yields sixteen candidates. Sixteen rather
// than eight halves the waits on long chains (machine code, tables), and
// costs the short chains of text nothing measurable.
//
// Why the walk over steps visits exactly the positions that following one
// link at a time would, in the same order, stopping at the same limit and
// after the same budget:
// - A position's first step is its successor, set when it is entered.
// - Its steps 2 to 16 are copied from steps 1 to 15 of its successor y when it
//   is entered. They stay y's successors as long as y's slot (y mod 32,768)
//   is not written again, which happens only when position y + 32,768 is
//   entered. Positions are entered only up to the scan position, so from
//   then on y lies more than 32,768 behind every scan, beyond the farthest
//   distance a search goes: the walk stops at y and never uses what follows
//   it. For the same reason nothing follows a successor that is 0 or
//   already beyond that distance: those steps are stored as 0.
// - So steps fall strictly until the first 0 and are 0 from there on. A
//   slide takes 32,768 from every position, or makes it 0 where it leaves
//   the window, in the heads and in every step alike, which keeps both the
//   successors and that order. If the last of sixteen steps lies above the
//   search's limit, all sixteen do.
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"

namespace zf {

inline std::uint32_t HashStep(std::uint32_t hash, std::uint8_t byte) {
  return ((hash << kHashShift) ^ byte) & kHashMask;
}

// Enters position p, whose three bytes are input, at the head of its hash
// chain and returns its successor: the position it displaced there, or 0.
inline std::uint32_t InsertPosition(const std::uint8_t* window, std::uint16_t* heads,
                                    ChainSteps* steps, std::uint32_t* hash, std::uint32_t p) {
  *hash = HashStep(*hash, window[p + 2]);
  const std::uint32_t successor = heads[*hash];
  ChainSteps entered{};
  entered.words[0] = successor;
  if (successor != 0 && p - successor <= kFarthestDistance) {
    const ChainSteps& next = steps[successor & kHashMask];
    entered.words[0] |= next.words[0] << 16;
#pragma GCC unroll 4
    for (std::uint32_t w = 1; w < kChainWords; ++w) {
      entered.words[w] = (next.words[w] << 16) | (next.words[w - 1] >> 48);
    }
  }
  steps[p & kHashMask] = entered;
  heads[*hash] = static_cast<std::uint16_t>(p);
  return successor;
}

// Calls visit(m) for the chain's positions from candidate on, nearest first:
// candidate itself, then each next one while it lies above limit and fewer
// than budget have been visited, until visit returns true.
template <typename Visit>
inline void WalkChain(const ChainSteps* steps, std::uint32_t candidate, std::uint32_t limit,
                      std::uint32_t budget, Visit&& visit) {
  if (visit(candidate)) return;
  ChainSteps word = steps[candidate & kHashMask];
  for (;;) {
    // The steps after this word are loaded before its own are compared, so
    // the load overlaps the comparisons.
    const auto last = static_cast<std::uint32_t>(word.words[kChainWords - 1] >> 48);
    const ChainSteps following = steps[last & kHashMask];
    if (last > limit && budget > kChainStepsKept) {
      budget -= kChainStepsKept;
#pragma GCC unroll 16
      for (std::uint32_t step = 0; step < kChainStepsKept; ++step) {
        if (visit(static_cast<std::uint32_t>(word.words[step / 4] >> (16 * (step % 4))) & 0xFFFF)) {
          return;
        }
      }
    } else {
#pragma GCC unroll 16
      for (std::uint32_t step = 0; step < kChainStepsKept; ++step) {
        const auto m =
            static_cast<std::uint32_t>(word.words[step / 4] >> (16 * (step % 4))) & 0xFFFF;
        if (m <= limit || --budget == 0 || visit(m)) return;
      }
    }
    word = following;
  }
}

// Takes kWindowHalf from each of four 16-bit positions, or makes it 0 where
// that would leave the window: a lane with its top bit set keeps its low 15
// bits, any other becomes 0.
inline std::uint64_t SlideLanes(std::uint64_t lanes) {
  const std::uint64_t high = lanes & 0x8000800080008000u;
  return lanes & (high - (high >> 15));
}

// After the window's upper half moved down: positions that fell out of the
// window end their chains.
inline void SlideChains(std::uint16_t* heads, ChainSteps* steps) {
  for (std::uint32_t h = 0; h < kHashSize; ++h) {
    heads[h] = static_cast<std::uint16_t>(heads[h] >= kWindowHalf ? heads[h] - kWindowHalf : 0);
  }
  for (std::uint32_t s = 0; s < kWindowHalf; ++s) {
    for (std::uint64_t& word : steps[s].words) word = SlideLanes(word);
  }
}

}  // namespace zf
