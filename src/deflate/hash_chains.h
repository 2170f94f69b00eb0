// The hash chains of the match search: entering a position, the walk along
// a chain and the slide of both. Apart from the rest of the match loop
// because the walk is where the compressor spends most of its time, and its
// stored form is what makes it fast.
//
// A chain links each window position to the nearest earlier one whose first
// three bytes have the same hash (its successor; 0 for none). Following one
// link per load, the walk waits for each load before it knows the next
// candidate. So each position keeps its next eight chain positions at once
// (its steps), and one load yields eight candidates.
//
// Why the walk over steps visits exactly the positions that following one
// link at a time would, in the same order, stopping at the same limit and
// after the same budget:
// - A position's first step is its successor, set when it is entered.
// - Its steps 2 to 8 are copied from steps 1 to 7 of its successor y when it
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
//   successors and that order. If the last of eight steps lies above the
//   search's limit, all eight do.
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
  ChainSteps entered{successor, 0};
  if (successor != 0 && p - successor <= kFarthestDistance) {
    const ChainSteps& next = steps[successor & kHashMask];
    entered.near |= next.near << 16;
    entered.far = (next.far << 16) | (next.near >> 48);
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
    const auto last = static_cast<std::uint32_t>(word.far >> 48);
    const ChainSteps following = steps[last & kHashMask];
    if (last > limit && budget > kChainStepsKept) {
      budget -= kChainStepsKept;
#pragma GCC unroll 4
      for (int lane = 0; lane < 4; ++lane) {
        if (visit(static_cast<std::uint32_t>(word.near >> (16 * lane)) & 0xFFFF)) return;
      }
#pragma GCC unroll 4
      for (int lane = 0; lane < 4; ++lane) {
        if (visit(static_cast<std::uint32_t>(word.far >> (16 * lane)) & 0xFFFF)) return;
      }
    } else {
#pragma GCC unroll 4
      for (int lane = 0; lane < 4; ++lane) {
        const auto m = static_cast<std::uint32_t>(word.near >> (16 * lane)) & 0xFFFF;
        if (m <= limit || --budget == 0 || visit(m)) return;
      }
#pragma GCC unroll 4
      for (int lane = 0; lane < 4; ++lane) {
        const auto m = static_cast<std::uint32_t>(word.far >> (16 * lane)) & 0xFFFF;
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
    steps[s].near = SlideLanes(steps[s].near);
    steps[s].far = SlideLanes(steps[s].far);
  }
}

}  // namespace zf
