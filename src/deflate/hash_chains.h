// The hash chains of the match search: entering a position, the walk along
// a chain and the slide of both, in two stored forms: sixteen steps per
// position for the long walks of the higher levels, plain links (below)
// where walks are short and entering must be cheap. Apart from the rest of
// the match loop because the walk is where the compressor spends most of
// its time, and its stored form is what makes it fast.
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
#include <cstring>

#include "deflate/deflate_state.h"

namespace zf {

inline std::uint32_t HashStep(std::uint32_t hash, std::uint8_t byte) {
  return ((hash << kHashShift) ^ byte) & kHashMask;
}

// Enters position p, whose three bytes are input, at the head of its hash
// chain and returns its successor: the position it displaced there, or 0.
// The successor's steps, moved one place on, are the new position's.
inline std::uint32_t InsertPosition(const std::uint8_t* window, std::uint16_t* heads,
                                    ChainSteps* steps, std::uint32_t* hash, std::uint32_t p) {
  *hash = HashStep(*hash, window[p + 2]);
  const std::uint32_t successor = heads[*hash];
  ChainSteps& entered = steps[p & kHashMask];
  entered.next[0] = static_cast<std::uint16_t>(successor);
  constexpr std::size_t kMoved = sizeof entered.next - sizeof entered.next[0];
  if (successor != 0 && p - successor <= kFarthestDistance) {
    std::memcpy(&entered.next[1], &steps[successor & kHashMask].next[0], kMoved);
  } else {
    std::memset(&entered.next[1], 0, kMoved);
  }
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
  const ChainSteps* word = &steps[candidate & kHashMask];
  std::uint32_t last = word->next[kChainStepsKept - 1];
  for (;;) {
    if (last > limit && budget > kChainStepsKept) {
      // The walk goes on past this slot: the last step of the following one
      // is loaded before this slot's are compared, so that the wait for it
      // overlaps the comparisons. Otherwise the walk ends in this slot, and
      // nothing waits for a load it would not use.
      const ChainSteps* following = &steps[last & kHashMask];
      const std::uint32_t followingLast = following->next[kChainStepsKept - 1];
      budget -= kChainStepsKept;
#pragma GCC unroll 16
      for (std::uint32_t step = 0; step < kChainStepsKept; ++step) {
        if (visit(word->next[step])) return;
      }
      word = following;
      last = followingLast;
    } else {
#pragma GCC unroll 16
      for (std::uint32_t step = 0; step < kChainStepsKept; ++step) {
        const std::uint32_t m = word->next[step];
        if (m <= limit || --budget == 0 || visit(m)) return;
      }
      return;
    }
  }
}

// After the window's upper half moved down: positions that fell out of the
// window end their chains.
inline std::uint16_t SlidePosition(std::uint16_t position) {
  return static_cast<std::uint16_t>(position >= kWindowHalf ? position - kWindowHalf : 0);
}

inline void SlideChains(std::uint16_t* heads, ChainSteps* steps) {
  for (std::uint32_t h = 0; h < kHashSize; ++h) heads[h] = SlidePosition(heads[h]);
  for (std::uint32_t s = 0; s < kWindowHalf; ++s) {
    for (std::uint16_t& step : steps[s].next) step = SlidePosition(step);
  }
}

// Plain links, the form of levels 4 to 7 (entered in middle_chains.h, over
// hashes of four bytes): there walks are short and entering must cost
// little more than two stores, so each position keeps only its successor,
// and the walk follows one link per load. Why it visits exactly the chain,
// as with the steps above: a link is the successor set when its position
// was entered in this entry (the heads are cleared per entry, so no walk
// reaches a slot of an earlier one); a slot is written again only when the
// position 32,768 later is entered, and by then the walk stops at its old
// position, which lies beyond the farthest distance; a slide moves links
// and heads alike.

// WalkChain over plain links: candidate, then each next position while it
// lies above limit and fewer than budget have been visited.
template <typename Visit>
inline void WalkLinks(const std::uint16_t* links, std::uint32_t candidate, std::uint32_t limit,
                      std::uint32_t budget, Visit&& visit) {
  for (std::uint32_t m = candidate;;) {
    if (visit(m)) return;
    m = links[m & kHashMask];
    if (m <= limit || --budget == 0) return;
  }
}

inline void SlideLinks(std::uint16_t* heads, std::uint16_t* links) {
  for (std::uint32_t h = 0; h < kHashSize; ++h) heads[h] = SlidePosition(heads[h]);
  for (std::uint32_t s = 0; s < kWindowHalf; ++s) links[s] = SlidePosition(links[s]);
}

}  // namespace zf
