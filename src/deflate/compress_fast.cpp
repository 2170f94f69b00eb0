// The fast run of levels 1 to 3: a greedy parse over a hash table without
// chains, built for speed per byte. Apart from the lazy run
// (compress_run.cpp) because nothing of its search is shared: no chains, no
// rolling hash, no lazy step; it shares the window, the block buffers and
// the block output.
//
// Why this design:
// - A hash table of buckets instead of hash chains. A chain costs a store per
//   position and a dependent load per step of its walk; a bucket holds its
//   few newest positions side by side, so entering is one short shift
//   within one cache line and the search reads them all from that line.
//   The ways per bucket (2 at level 1, 4 at levels 2 and 3) are the effort.
// - Four bytes hashed, and a candidate taken only when its first four bytes
//   are the scan's, checked in one 32-bit compare: three-byte matches save
//   little over their literals, and four bytes hash apart far better than
//   three, so few candidates are false.
// - Match lengths are found eight bytes at a time (the lowest differing
//   byte of the words' XOR).
// - Greedy: a match is taken as soon as it is found. The positions it covers
//   are entered only while it is at most the level's insertion limit: a long
//   match means a long repeat, whose positions add little that the bucket
//   does not hold already, and skipping them is what makes long repeats
//   (tables, zeros in libraries) cost almost nothing.
// - A search stops at the level's nice length: the first good match is
//   taken, as the longest of a few candidates would barely be longer.
//
// The rules, which fix the bytes of these levels:
// - At each position p with at least four bytes ahead, the bucket of the
//   hash of its four bytes is searched, newest first: a position m is a
//   candidate while it lies within the farthest distance (p - m at most
//   32,506); its length is the common run of m and p, capped at 258 and at
//   the bytes ahead; a longer one replaces the best (the nearest of equal
//   ones wins); the search ends at the nice length (capped likewise).
//   Then p is entered at the front of its bucket, the oldest falls out.
// - A match of four bytes or more is recorded. When its length is at most
//   the insertion limit, the positions it covers with four bytes ahead are
//   entered in order; otherwise none. The scan goes on after it.
// - Otherwise the byte is recorded as a literal (also with fewer than four
//   bytes ahead).
// - The hash keeps the top bits of the four bytes times 0x1E35A7BD (read
//   as a little-endian word): 15 bits, or for an input wholly read into the
//   first window (fewer than 65,536 bytes, whatever the reads returned) one
//   less than the bit width of its length, from 10 up to 15. A small input
//   so clears and walks a table in the processor's nearest cache, and never
//   fills one anyway: with thousands of small files, clearing the whole
//   128 KB per file showed in the time (docs/performance.md).
// - Window position 0 means "none", so it is never a candidate; a slide
//   moves every position down by 32,768, and those that leave the window
//   become 0. The table is cleared at the start of every entry: what a
//   stream holds is a function of its own bytes alone, whatever the state
//   compressed before (and so on any thread).
// - Capping lengths at the bytes ahead keeps the bytes left in the window
//   past the input's end (from earlier entries) out of every decision.
// - A block ends when it holds kFastBlockSymbols, or after a step of symbols
//   whose statistics differ from the block's (block_split.h).
// - The input is parsed in pieces of kRestartBytes (1 MiB): at every
//   multiple of it the table is cleared, the piece's first byte is a
//   literal and is not entered, and every decision inside a piece sees only
//   the bytes up to its end, as if the input ended there (a match never
//   crosses it, a position within three bytes of it is not entered). So a
//   piece's symbols are a function of its own bytes alone, and a large
//   input's pieces may be parsed on several threads and joined in order
//   (piece_parse.cpp) into the bytes of one thread. Pieces of 1 MiB cost
//   0.12 % in size at level 1 and 0.13 % at level 3 on a large library
//   (the first 32 KB of each piece find no matches before it; 2 MiB cost
//   0.06 % and 0.08 %, 256 KB 0.5 %); a piece in flight holds four bytes
//   per input byte for its symbols, so longer ones cost memory per thread.
#include <bit>
#include <cstring>

#include "deflate/block_split.h"
#include "deflate/deflate_internal.h"
#include "deflate/match_search.h"

namespace zf {
namespace {

// The block buffers' counters in registers: a store into the byte buffers
// could alias the record's fields, so through the record every symbol
// would reload them. Written back before anything else reads them.
struct SymbolCursor {
  std::uint32_t count;
  std::uint32_t distances;
  std::uint32_t flags;
  std::uint32_t mask;

  static SymbolCursor Load(const DeflateState* state) {
    return {state->symbolCount, state->distanceCount, state->pendingFlags, state->flagMask};
  }
  void Store(DeflateState* state) const {
    state->symbolCount = count;
    state->distanceCount = distances;
    state->flagByteCount = count >> 3;
    state->pendingFlags = static_cast<std::uint8_t>(flags);
    state->flagMask = static_cast<std::uint8_t>(mask);
  }
  // As RecordSymbol (record_symbol.h) without the early end of a block, and
  // full at kFastBlockSymbols: true when the block is full.
  inline bool Next(DeflateState* state) {
    mask <<= 1;
    if ((++count & 7) == 0) {
      state->flagBuffer[(count >> 3) - 1] = static_cast<std::uint8_t>(flags);
      flags = 0;
      mask = 1;
      if ((count % kSplitStep) == 0 && SplitsByStatistics(state->level) &&
          StepChangesStatistics(state, count)) {
        return true;
      }
      return count == kFastBlockSymbols;
    }
    return false;
  }
  inline bool Literal(DeflateState* state, std::uint8_t byte) {
    state->symbolBuffer[count] = byte;
    ++state->literalTree[byte].frequency;
    return Next(state);
  }
  inline bool Match(DeflateState* state, std::uint32_t distance, std::uint32_t length) {
    return CodedMatch(state, distance, length, DistanceCode(state, distance - 1));
  }
  // With the distance's code found already.
  inline bool CodedMatch(DeflateState* state, std::uint32_t distance, std::uint32_t length,
                         std::uint32_t code) {
    const auto value = static_cast<std::uint8_t>(length - kShortestMatch);
    state->symbolBuffer[count] = value;
    ++state->literalTree[kFirstLengthSymbol + state->lengthToCode[value]].frequency;
    ++state->distanceTree[code].frequency;
    state->distanceBuffer[distances++] = static_cast<std::uint16_t>(distance - 1);
    flags |= mask;
    return Next(state);
  }
};

// Where the run's symbols go: into the block buffers, a block finished
// whenever they are full (the compressor alone and the replay of a joined
// stream), or appended to a piece's list (ListSink).
struct BlockSink {
  SymbolCursor symbols;
  void Load(DeflateState* state) { symbols = SymbolCursor::Load(state); }
  void Store(DeflateState* state) const { symbols.Store(state); }
  bool Literal(DeflateState* state, std::uint8_t byte) { return symbols.Literal(state, byte); }
  bool Match(DeflateState* state, std::uint32_t distance, std::uint32_t length) {
    return symbols.Match(state, distance, length);
  }
  // After a symbol that filled the block, scanPosition set: false to stop.
  bool Full(DeflateState* state) {
    symbols.Store(state);
    if (!FinishMidBlock(state)) return false;
    symbols = SymbolCursor::Load(state);
    return true;
  }
  void End(DeflateState* state) {
    symbols.Store(state);
    FinishBlockHere(state, 1);
  }
};

struct ListSink {
  std::uint32_t* symbols;
  std::uint32_t count;
  void Load(DeflateState*) {}
  void Store(DeflateState*) const {}
  bool Literal(DeflateState*, std::uint8_t byte) {
    symbols[count++] = byte;
    return false;
  }
  // The distance's code in the top byte, found here rather than on the
  // thread that sends the pieces one after another.
  bool Match(DeflateState* state, std::uint32_t distance, std::uint32_t length) {
    symbols[count++] =
        DistanceCode(state, distance - 1) << 24 | distance << 8 | (length - kShortestMatch);
    return false;
  }
  bool Full(DeflateState*) { return true; }
  void End(DeflateState*) {}
};

// The window position of the first restart after window position p.
inline std::uint32_t NextRestart(const DeflateState* state, std::uint32_t p) {
  const std::uint64_t at = state->windowBase + p;
  return static_cast<std::uint32_t>((at / kRestartBytes + 1) * kRestartBytes - state->windowBase);
}

void ClearWholeTable(DeflateState* state) {
  std::memset(state->fastTable, 0,
              sizeof state->fastTable[0] * (std::uint32_t{1} << state->tableBits) *
                  kFastTuning[state->level].ways);
}

// Enters p at the front of its bucket.
template <std::uint32_t kWays>
inline void EnterBucket(std::uint16_t* bucket, std::uint32_t p) {
  for (std::uint32_t w = kWays - 1; w > 0; --w) bucket[w] = bucket[w - 1];
  bucket[0] = static_cast<std::uint16_t>(p);
}

// Runs to the input's end, or to the piece's end at input offset stopAt
// (a multiple of kRestartBytes; ~0: none), where it returns before the
// restart with the block still open.
//
// Most positions lie far from the piece's end and the window's: a longest
// match and the bytes a refill keeps ahead still fit before both. There
// the steps run in a loop of their own that checks neither (kFarFromEnds below),
// and the general step, which does, takes the few positions near an end.
template <std::uint32_t kWays, typename Sink>
void TableRun(DeflateState* state, Sink* sink, std::uint64_t stopAt) {
  std::uint8_t* window = state->slidingWindow;
  std::uint16_t* table = state->fastTable;
  const FastTuning& tuning = kFastTuning[state->level];
  const std::uint32_t insertLimit = tuning.insertLimit;
  const std::uint32_t nice = tuning.niceLength;
  const std::uint32_t shift = 32 - state->tableBits;
  sink->Load(state);
  std::uint32_t p = state->scanPosition;
  std::uint32_t ahead = state->bytesAhead;
  std::uint32_t unused = 0;
  // The window position of the next restart: here, at a piece's start past
  // the input's first (at the input's start the table is clear already).
  const std::uint64_t at = state->windowBase + p;
  std::uint32_t edge = at != 0 && at % kRestartBytes == 0 ? p : NextRestart(state, p);
  // The bytes ahead within the piece from which a position is far from
  // both ends: a longest match taken there leaves kLeastAhead ahead.
  constexpr std::uint32_t kFarFromEnds = kLeastAhead + kLongestMatch;

  // One step at p with within bytes ahead in the piece (at least
  // kTableMatch): searches, enters p, records the literal or match and the
  // positions it covers, and moves p on. True when the block is full.
  auto step = [&]<bool kIsFar>(std::uint32_t within) -> bool {
    const std::uint32_t word = Load32(window + p);
    std::uint16_t* bucket = table + WordHash(word, shift) * kWays;
    // The next position's bucket is asked for now, so that its load
    // overlaps this search (bytes past the input only make it useless).
    __builtin_prefetch(table + WordHash(Load32(window + p + 1), shift) * kWays, 1);
    // m <= limit: m is 0 or p - m exceeds the farthest distance.
    const std::uint32_t limit = p > kFarthestDistance ? p - kFarthestDistance - 1 : 0;
    const std::uint32_t most = kIsFar || within >= kLongestMatch ? kLongestMatch : within;
    const std::uint32_t stop = nice < most ? nice : most;
    std::uint32_t best = kTableMatch - 1;
    std::uint32_t source = 0;
#pragma GCC unroll 4
    for (std::uint32_t w = 0; w < kWays; ++w) {
      const std::uint32_t m = bucket[w];
      // Newest first: the rest lie farther still (or are 0).
      if (m <= limit) break;
      if (Load32(window + m) != word) continue;
      const std::uint32_t length = ExtendMatch(window + p, window + m, kTableMatch, most);
      if (length > best) {
        best = length;
        source = m;
        if (best >= stop) break;
      }
    }
    EnterBucket<kWays>(bucket, p);
    if (best < kTableMatch) {
      const bool full = sink->Literal(state, window[p]);
      ++p;
      --ahead;
      return full;
    }
    const bool full = sink->Match(state, p - source, best);
    if (best <= insertLimit) {
      // Positions with four bytes ahead in the piece: up to p + within - 4.
      const std::uint32_t end =
          kIsFar || best < within - kTableMatch + 1 ? p + best : p + within - kTableMatch + 1;
      for (std::uint32_t q = p + 1; q < end; ++q) {
        EnterBucket<kWays>(table + WordHash(Load32(window + q), shift) * kWays, q);
      }
    }
    p += best;
    ahead -= best;
    return full;
  };

  while (ahead != 0) {
    // The bytes ahead within the piece.
    const std::uint32_t within = edge - p < ahead ? edge - p : ahead;
    bool full;
    if (within >= kFarFromEnds) {
      // Far steps until p comes within kFarFromEnds of an end or the block fills.
      const std::uint32_t farEnd = p + within - kFarFromEnds;
      do {
        full = step.template operator()<true>(0);
      } while (!full && p <= farEnd);
    } else if (within >= kTableMatch) {
      full = step.template operator()<false>(within);
    } else if (within != 0) {
      full = sink->Literal(state, window[p]);
      ++p;
      --ahead;
    } else {
      if (state->windowBase + p == stopAt) {
        state->scanPosition = p;
        state->bytesAhead = ahead;
        sink->Store(state);
        return;
      }
      // A restart: the first byte is a literal and is not entered.
      ClearWholeTable(state);
      edge += kRestartBytes;
      full = sink->Literal(state, window[p]);
      ++p;
      --ahead;
    }
    if (full) {
      state->scanPosition = p;
      if (!sink->Full(state)) return;
    }
    if (ahead < kLeastAhead) {
      const std::uint64_t edgeAt = state->windowBase + edge;
      if (!RefillFromLoop(state, &p, &ahead, &unused)) return;
      edge = static_cast<std::uint32_t>(edgeAt - state->windowBase);
    }
  }

  state->scanPosition = p;
  state->bytesAhead = ahead;
  // A piece's run leaves the last block to its caller.
  if (stopAt == ~std::uint64_t{0}) {
    sink->End(state);
  } else {
    sink->Store(state);
  }
}

template <typename Sink>
void RunWays(DeflateState* state, Sink* sink, std::uint64_t stopAt = ~std::uint64_t{0}) {
  switch (kFastTuning[state->level].ways) {
    case 1:
      TableRun<1>(state, sink, stopAt);
      break;
    case 2:
      TableRun<2>(state, sink, stopAt);
      break;
    default:
      TableRun<4>(state, sink, stopAt);
      break;
  }
}

}  // namespace

std::uint32_t TableBits(std::uint32_t wholeInput) {
  if (wholeInput == 0) return kTableBits;
  const auto bits = static_cast<std::uint32_t>(std::bit_width(wholeInput)) - 1;
  return bits < kLeastTableBits ? kLeastTableBits : bits > kTableBits ? kTableBits : bits;
}

void ClearTable(DeflateState* state, std::uint32_t wholeInput) {
  state->tableBits = TableBits(wholeInput);
  ClearWholeTable(state);
}

void SlideTable(DeflateState* state) {
  const std::uint32_t entries =
      (std::uint32_t{1} << state->tableBits) * kFastTuning[state->level].ways;
  std::uint16_t* table = state->fastTable;
  for (std::uint32_t i = 0; i < entries; ++i) {
    table[i] = static_cast<std::uint16_t>(table[i] >= kWindowHalf ? table[i] - kWindowHalf : 0);
  }
}

void CompressFast(DeflateState* state) {
  BlockSink sink{};
  RunWays(state, &sink);
}

void CompressFastPiece(DeflateState* state, std::uint64_t end) {
  BlockSink sink{};
  RunWays(state, &sink, end);
}

std::uint32_t ParseFastPiece(DeflateState* state, std::uint32_t* symbols) {
  ListSink sink{symbols, 0};
  RunWays(state, &sink);
  return sink.count;
}

bool ReplayFastSymbols(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count) {
  const std::uint8_t* window = state->slidingWindow;
  BlockSink sink{};
  sink.Load(state);
  std::uint32_t p = state->scanPosition;
  std::uint32_t ahead = state->bytesAhead;
  std::uint32_t unused = 0;
  bool fits = true;
  // The steps of TableRun, so that blocks end and the window slides where
  // they would.
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t distance = symbols[i] >> 8 & 0xFFFF;
    bool full;
    if (distance == 0) {
      if (ahead == 0 || window[p] != static_cast<std::uint8_t>(symbols[i])) {
        fits = false;
        break;
      }
      full = sink.Literal(state, window[p]);
      ++p;
      --ahead;
    } else {
      const std::uint32_t length = (symbols[i] & 0xFF) + kShortestMatch;
      if (length > ahead || distance > p || distance > kFarthestDistance ||
          ExtendMatch(window + p, window + p - distance, 0, length) != length) {
        fits = false;
        break;
      }
      full = sink.symbols.CodedMatch(state, distance, length, symbols[i] >> 24);
      p += length;
      ahead -= length;
    }
    if (full) {
      state->scanPosition = p;
      if (!sink.Full(state)) return false;
    }
    if (ahead < kLeastAhead && !RefillFromLoop(state, &p, &ahead, &unused)) return false;
  }
  state->scanPosition = p;
  state->bytesAhead = ahead;
  sink.Store(state);
  return fits;
}

}  // namespace zf
