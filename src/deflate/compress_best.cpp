// The run of level 9, "the smallest": a near-optimal parse. Apart from the
// lazy and fast runs because it decides differently: not position by
// position, but a whole chunk of input at once, choosing the sequence of
// literals and matches whose coded size is least under a model of the
// codes, refined by parsing the chunk again with the code lengths the last
// parse would get. It shares the window, the block buffers, the block split
// and the block output.
//
// Why this design:
// - A binary tree of window positions per hash of four bytes, rather than
//   chains: the parse wants every useful match length at a position, not
//   only the longest, and one descent of the tree meets candidates in order
//   of how long they agree with the scan, so each new longer match costs one
//   step. Entering a position is the same descent: the position becomes
//   the root, and the nodes met are shared out to its two sides (those whose
//   bytes sort before the scan's, those after), so the tree stays sorted
//   without a second walk. Three-byte matches come from a table of the
//   nearest position per hash of three bytes: they pay only when near. Its
//   65,536 hashes rather than 4,096 made machine code 0.3 to 0.6 % smaller
//   (fewer of the near ones lost to collisions); the tree's depth and more
//   passes changed it by under 0.01 %.
// - A chunk of up to kBestChunk positions is searched once and its matches
//   kept (length and distance of each match longer than the ones before it
//   at that position); the path is then found kBestPasses times over them.
//   A shortest path over positions with costs in sixteenths of a bit: each
//   literal and each match length from 3 to the longest found, with the
//   distance that reached it first. The first pass of a chunk takes the
//   costs the last chunk ended with (the first chunk a flat guess), each
//   further pass the costs of the symbols the previous pass chose, counted
//   kBestChunkWeight times, with those of the block so far, which the
//   chunk's symbols will share a code with (a symbol's cost is -log2 of its
//   share, its extra bits added; one unused costs a little more than the
//   rarest used). The blocks end where best_split.h decides, on the path's
//   symbols.
// - The passes settle on costs that make their own path cheapest, and a
//   path that never takes a length or distance code prices it out of every
//   later chunk, though another settling would be smaller: on relocation
//   tables (24-byte records) the path took a match of 7 at distance 24 and
//   one of 16 at 72 rather than one of 23 at 72, as lengths 23 to 26 were
//   unused, and was 4 % larger than it could be. So the costs a chunk hands
//   to the next one's first pass count every length and distance symbol
//   kBestGuessSpread times more: the first pass may take what the last path
//   left out, and the passes after it keep it only if it pays. On 24 MB of
//   libLLVM this made 0.7 % smaller, on other machine code and headers it
//   changed under 0.01 %, at no cost in time.
// - A match of kBestNice bytes or more is taken as the only candidate there,
//   and the positions it covers are entered into the tree but not searched:
//   in a long repeat (zeros, tables) every position would find the same
//   long match again, at a cost that grows with the square of the repeat.
// - Every kBestPieceBytes of input the parse restarts: a block ends, the
//   window starts afresh with the piece's first byte at position 0, the
//   tree's heads and the three-byte table are cleared and the costs are
//   the flat guess again. So a piece's symbols depend on its own bytes (and
//   the 258 after it, which the last searches compare) alone, and a piece
//   can be parsed apart on another thread (ParseBestPiece) and its symbols
//   sent in order (RecordBestChunk), with the very bytes of the whole
//   parse: the window of the sending state is filled before each chunk as
//   the parse fills it, so it slides at the same places and a block is
//   stored exactly where it would be. A restart costs the matches that
//   would reach back across it and a block header: on two libraries
//   (27 MB) 0.03 % at 4 MiB, 0.21 % at 1 MiB; pieces of 8 MiB rather
//   than 4 made them 0.026 % smaller, and 24 MB of libLLVM 0.036 %. The
//   first chunk of a piece could take kBestFirstPasses more passes, its
//   first costs being a guess: one made 23 MB of headers 0.025 % smaller,
//   two 0.035 %, but small files, all first chunk, paid a fifth and two
//   fifths more parse time.
//
// Why the bytes depend on the input alone, and are the same however it was
// read (streamed or not, in any pieces):
// - Before each chunk the window is filled to its end or to the input's end,
//   so the bytes ahead of a position are a function of the position; the
//   window slides at the same positions as the other runs (RefillWindow).
//   A chunk ends kLongestMatch bytes before the bytes read (or at the
//   input's end), so every search there sees 258 bytes ahead.
// - Every comparison is capped at the bytes ahead of the input (never past
//   its end, where the window holds what earlier entries left), and at the
//   chunk's end for the lengths the path may take.
// - The tree's heads are cleared for every entry (StartMatcher), and the
//   three-byte table here; a node's children are written when it is
//   entered, so no descent reaches what an earlier entry left. A slot is
//   written again only when the position 32,768 later is entered, and by
//   then a descent stops at the old one, which lies beyond the farthest
//   distance; its children are older still (every node is entered as a
//   root above the older ones), so a descent stops at the first node beyond
//   the farthest distance and loses nothing it could use.
// - The descent's lengths: the nodes left on the side before the scan agree
//   with it in their first lessLength bytes and sort before it, those after
//   in greaterLength bytes; every node below lies between two such bounds,
//   so it agrees with the scan in at least the smaller of the two, and the
//   comparison starts there. A descent that reaches the cap (the nice
//   length, or the bytes ahead near the input's end) takes the node's two
//   subtrees for the new root as they are, since the two agree in all the
//   bytes that any later comparison at that cap or below reads.
// - A slide moves heads, children and the three-byte table down by 32,768,
//   those leaving the window become 0 ("none"), as in hash_chains.h.
#include <cmath>
#include <cstring>

#include "deflate/best_split.h"
#include "deflate/deflate_internal.h"
#include "deflate/match_search.h"
#include "deflate/record_symbol.h"

namespace zf {
namespace {

static_assert(sizeof(BestParseMemory) <= sizeof(ChainSteps) * kWindowHalf,
              "the parse's memory shares the chains' room");

inline constexpr std::uint32_t kBestNice = 258;
inline constexpr std::uint32_t kBestDepth = 96;
inline constexpr std::uint32_t kBestPasses = 3;
// More for the first chunk of a piece, whose first costs are a flat guess:
// none, see the head.
inline constexpr std::uint32_t kBestFirstPasses = 0;
// A pass's costs come from the counts of the block so far (the chunk's
// symbols will be coded with its code) and of the path, which weighs this
// many times more (it is what the pass can change).
inline constexpr std::uint32_t kBestChunkWeight = 2;
// A chunk's first pass takes the last chunk's costs with every length and
// distance symbol counted this many times more, so that one the last path
// left rare or unused is not priced out of the next chunk (see the head).
inline constexpr std::uint32_t kBestGuessSpread = 300;
inline constexpr std::uint32_t kCostScale = 16;  // costs in sixteenths of a bit
inline constexpr std::uint32_t kHashBits = 15;
static_assert((1u << kHashBits) == kHashSize);

// The cost of each symbol under the current model.
struct SymbolCosts {
  std::uint32_t literal[256];
  std::uint32_t length[kLongestMatch + 1];  // the length's symbol and extra bits
  std::uint32_t distanceCode[kDistanceSymbols];
};

// Symbols chosen by a pass, by code.
struct SymbolCounts {
  std::uint32_t literal[kLiteralSymbols];
  std::uint32_t distance[kDistanceSymbols];
};

std::uint32_t ShareCost(std::uint32_t count, std::uint32_t total, std::uint32_t unused) {
  if (count == 0) return unused;
  const double bits = std::log2(static_cast<double>(total) / count);
  const double clamped = bits < 1.0 ? 1.0 : bits > kMaxCodeBits ? kMaxCodeBits : bits;
  return static_cast<std::uint32_t>(clamped * kCostScale + 0.5);
}

void CostsFromCounts(const DeflateState* state, const SymbolCounts& counts, SymbolCosts* costs) {
  std::uint32_t symbols = 0;
  std::uint32_t matches = 0;
  for (std::uint32_t c : counts.literal) symbols += c;
  for (std::uint32_t c : counts.distance) matches += c;
  // An unused symbol costs about what the rarest used one would.
  const std::uint32_t literalUnused = ShareCost(1, symbols + 1, 0) + kCostScale;
  const std::uint32_t distanceUnused = ShareCost(1, matches + 1, 0) + kCostScale;
  for (std::uint32_t b = 0; b < 256; ++b) {
    costs->literal[b] = ShareCost(counts.literal[b], symbols, literalUnused);
  }
  for (std::uint32_t length = kShortestMatch; length <= kLongestMatch; ++length) {
    const std::uint32_t code = state->lengthToCode[length - kShortestMatch];
    costs->length[length] =
        ShareCost(counts.literal[kFirstLengthSymbol + code], symbols, literalUnused) +
        static_cast<std::uint32_t>(lengthExtraBits[code]) * kCostScale;
  }
  for (std::uint32_t code = 0; code < kDistanceSymbols; ++code) {
    costs->distanceCode[code] = ShareCost(counts.distance[code], matches, distanceUnused) +
                                static_cast<std::uint32_t>(distanceExtraBits[code]) * kCostScale;
  }
}

// The first chunk's guess: literals of 8 bits, match symbols as if spread
// evenly, near distances cheaper.
void FlatCosts(const DeflateState* state, SymbolCosts* costs) {
  for (std::uint32_t& c : costs->literal) c = 8 * kCostScale;
  for (std::uint32_t length = kShortestMatch; length <= kLongestMatch; ++length) {
    const std::uint32_t code = state->lengthToCode[length - kShortestMatch];
    costs->length[length] = (6 + static_cast<std::uint32_t>(lengthExtraBits[code])) * kCostScale;
  }
  for (std::uint32_t code = 0; code < kDistanceSymbols; ++code) {
    costs->distanceCode[code] =
        (5 + static_cast<std::uint32_t>(distanceExtraBits[code])) * kCostScale;
  }
}

struct TreeSearch {
  BestParseMemory* memory;
  std::uint16_t* heads;
  const std::uint8_t* window;
};

// Enters p at the root of its tree (its four bytes' hash) and, when out is
// not null, writes there each match met that is longer than best and than
// the ones before it (length << 16 | distance); returns their count. most:
// the bytes ahead, capped at 258, at least 4.
inline std::uint32_t DescendTree(const TreeSearch& search, std::uint32_t p, std::uint32_t most,
                                 std::uint32_t best, std::uint32_t* out) {
  const std::uint8_t* window = search.window;
  std::uint16_t(*tree)[2] = search.memory->tree;
  const std::uint8_t* scan = window + p;
  const std::uint32_t hash = WordHash(Load32(scan), 32 - kHashBits);
  std::uint32_t node = search.heads[hash];
  search.heads[hash] = static_cast<std::uint16_t>(p);
  // Where the next node met goes: below the last node left before the scan
  // (on its after side), below the last after it (on its before side).
  std::uint16_t* beforeSlot = &tree[p & kHashMask][0];
  std::uint16_t* afterSlot = &tree[p & kHashMask][1];
  std::uint32_t beforeLength = 0;
  std::uint32_t afterLength = 0;
  // node <= limit: none, or beyond the farthest distance.
  const std::uint32_t limit = p > kFarthestDistance ? p - kFarthestDistance - 1 : 0;
  const std::uint32_t stop = kBestNice < most ? kBestNice : most;
  std::uint32_t found = 0;
  for (std::uint32_t visits = kBestDepth; node > limit && visits != 0; --visits) {
    const std::uint8_t* match = window + node;
    std::uint32_t length = beforeLength < afterLength ? beforeLength : afterLength;
    if (match[length] == scan[length]) {
      length = ExtendMatch(scan, match, length + 1, most);
      if (length > best && out != nullptr) {
        best = length;
        out[found++] = (length << 16) | (p - node);
      }
      if (length >= stop) {
        *beforeSlot = tree[node & kHashMask][0];
        *afterSlot = tree[node & kHashMask][1];
        return found;
      }
    }
    // length < most here, and the bytes at length differ.
    if (match[length] < scan[length]) {
      *beforeSlot = static_cast<std::uint16_t>(node);
      beforeSlot = &tree[node & kHashMask][1];
      node = *beforeSlot;
      beforeLength = length;
    } else {
      *afterSlot = static_cast<std::uint16_t>(node);
      afterSlot = &tree[node & kHashMask][0];
      node = *afterSlot;
      afterLength = length;
    }
  }
  *beforeSlot = 0;
  *afterSlot = 0;
  return found;
}

// Fills the window to its end, or to the input's end, sliding it first
// where the other runs would. False when the read failed.
bool FillWindow(DeflateState* state, std::uint32_t* p, std::uint32_t* ahead) {
  state->scanPosition = *p;
  state->bytesAhead = *ahead;
  state->matchPosition = 0;
  while (state->inputEnded == 0 &&
         ((state->windowSlides != 0 && state->scanPosition >= kSlidePoint) ||
          state->scanPosition + state->bytesAhead < kWindowSize)) {
    RefillWindow(state);
    if (state->failed) return false;
  }
  // At the input's end RefillWindow may still have a slide to make.
  if (state->windowSlides != 0 && state->scanPosition >= kSlidePoint) RefillWindow(state);
  *p = state->scanPosition;
  *ahead = state->bytesAhead;
  return !state->failed;
}

// Searches the chunk from window position begin (every position entered
// into the tree) and keeps its matches; returns where the chunk ends (the
// room for matches may end it early). available: one past the input's
// bytes in the window.
std::uint32_t SearchChunk(DeflateState* state, std::uint32_t begin, std::uint32_t end,
                          std::uint32_t available) {
  BestParseMemory* memory = &state->best;
  const TreeSearch search = {memory, state->hashHeads, state->slidingWindow};
  const std::uint8_t* window = state->slidingWindow;
  std::uint32_t used = 0;
  std::uint32_t q = begin;
  while (q < end) {
    // A position keeps fewer than kLongestMatch matches (longer each time).
    if (kBestMatchRoom - used < kLongestMatch) {
      end = q;
      break;
    }
    memory->firstMatch[q - begin] = used;
    const std::uint32_t left = available - q;
    const std::uint32_t most = left < kLongestMatch ? left : kLongestMatch;
    std::uint32_t best = kShortestMatch - 1;
    if (most >= kShortestMatch) {
      const std::uint32_t three =
          window[q] | std::uint32_t{window[q + 1]} << 8 | std::uint32_t{window[q + 2]} << 16;
      const std::uint32_t slot = (three * 0x1E35A7BDu) >> (32 - kThreeHashBits);
      const std::uint32_t near = state->nearThree[slot];
      state->nearThree[slot] = static_cast<std::uint16_t>(q);
      if (near != 0 && q - near <= kFarthestDistance && window[near] == window[q] &&
          window[near + 1] == window[q + 1] && window[near + 2] == window[q + 2]) {
        best = ExtendMatch(window + q, window + near, kShortestMatch, most);
        memory->matches[used++] = (best << 16) | (q - near);
      }
    }
    if (most < kTableMatch) {
      ++q;
      continue;
    }
    used += DescendTree(search, q, most, best, memory->matches + used);
    const std::uint32_t longest =
        used > memory->firstMatch[q - begin] ? memory->matches[used - 1] >> 16 : 0;
    if (longest < kBestNice) {
      ++q;
      continue;
    }
    // A long repeat: its positions are entered, not searched.
    const std::uint32_t skipEnd = q + longest < end ? q + longest : end;
    for (++q; q < skipEnd; ++q) {
      memory->firstMatch[q - begin] = used;
      const std::uint32_t rest = available - q;
      if (rest >= kTableMatch) {
        DescendTree(search, q, rest < kLongestMatch ? rest : kLongestMatch, 0, nullptr);
      }
    }
  }
  memory->firstMatch[end - begin] = used;
  return end;
}

// The cheapest path over the chunk's n positions from window position
// begin under costs; afterwards memory->cost[i] holds the step that leaves
// position i on the path (length << 16 | distance; length 1: a literal).
//
// Why it is right and how long it takes: positions are visited in order,
// and every step from i ends after i, so cost[i] is final when i is
// visited (the least cost of any path to i). From i, a literal reaches
// i + 1 and each match (length L, distance d) kept there reaches i + l for
// every l from the last kept length + 1 up to L, at cost[i] plus the cost
// of the length l and of d: a shorter length of the same match is as good a
// match, and the nearer distance of an earlier one covers the lengths it
// reached. The work per position is its longest kept length, capped at the
// chunk's end; long repeats keep one match per kBestNice bytes.
void FindPath(DeflateState* state, std::uint32_t begin, std::uint32_t n, const SymbolCosts& costs) {
  BestParseMemory* memory = &state->best;
  std::uint32_t* cost = memory->cost;
  std::uint32_t* step = memory->step;
  const std::uint8_t* window = state->slidingWindow + begin;
  cost[0] = 0;
  for (std::uint32_t i = 1; i <= n; ++i) cost[i] = ~std::uint32_t{0};
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t here = cost[i];
    const std::uint32_t literal = here + costs.literal[window[i]];
    if (literal < cost[i + 1]) {
      cost[i + 1] = literal;
      step[i + 1] = 1u << 16;
    }
    const std::uint32_t room = n - i;
    std::uint32_t from = kShortestMatch;
    for (std::uint32_t k = memory->firstMatch[i]; k < memory->firstMatch[i + 1]; ++k) {
      const std::uint32_t length = memory->matches[k] >> 16;
      const std::uint32_t distance = memory->matches[k] & 0xFFFF;
      const std::uint32_t withDistance =
          here + costs.distanceCode[DistanceCode(state, distance - 1)];
      const std::uint32_t top = length < room ? length : room;
      for (std::uint32_t l = from; l <= top; ++l) {
        const std::uint32_t total = withDistance + costs.length[l];
        if (total < cost[i + l]) {
          cost[i + l] = total;
          step[i + l] = (l << 16) | distance;
        }
      }
      if (top < length) break;
      from = length + 1;
    }
  }
  // Back from the end, each step is written where it starts.
  for (std::uint32_t i = n; i > 0;) {
    const std::uint32_t s = step[i];
    i -= s >> 16;
    cost[i] = s;
  }
}

// The path's symbols counted with the block's so far, and the costs they
// give; every length and distance symbol counted spread more times besides.
void CostsOfPath(DeflateState* state, std::uint32_t begin, std::uint32_t n, std::uint32_t spread,
                 SymbolCosts* costs) {
  const std::uint32_t* path = state->best.cost;
  const std::uint8_t* window = state->slidingWindow + begin;
  SymbolCounts counts = {};
  for (int c = 0; c < kLiteralSymbols; ++c) counts.literal[c] = state->literalTree[c].frequency;
  for (int c = 0; c < kDistanceSymbols; ++c) counts.distance[c] = state->distanceTree[c].frequency;
  counts.literal[kEndOfBlock] = 1;
  for (int c = kFirstLengthSymbol; c < kLiteralSymbols; ++c) counts.literal[c] += spread;
  for (std::uint32_t& c : counts.distance) c += spread;
  for (std::uint32_t i = 0; i < n;) {
    const std::uint32_t length = path[i] >> 16;
    if (length == 1) {
      counts.literal[window[i]] += kBestChunkWeight;
    } else {
      counts.literal[kFirstLengthSymbol + state->lengthToCode[length - kShortestMatch]] +=
          kBestChunkWeight;
      counts.distance[DistanceCode(state, (path[i] & 0xFFFF) - 1)] += kBestChunkWeight;
    }
    i += length;
  }
  CostsFromCounts(state, counts, costs);
}

// The path's symbols in the segment board's form: the byte, or the length
// - 3, in the low 8 bits and the distance above them (0: a literal);
// returns their count, at most n.
std::uint32_t PathSymbols(const DeflateState* state, std::uint32_t begin, std::uint32_t n,
                          std::uint32_t* out) {
  const std::uint32_t* path = state->best.cost;
  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < n;) {
    const std::uint32_t length = path[i] >> 16;
    out[count++] = length == 1 ? state->slidingWindow[begin + i]
                               : (path[i] & 0xFFFF) << 8 | (length - kShortestMatch);
    i += length;
  }
  return count;
}

// Ends the block at window position at: sent when send, else only
// counted (a piece parsed apart counts its blocks, which its costs read).
// False when the output failed.
bool EndBlockAt(DeflateState* state, std::uint32_t at, bool send) {
  state->scanPosition = at;
  if (send) return FinishMidBlock(state);
  ResetBlock(state);
  return true;
}

// Records a chunk's symbols into the block buffers from the scan position
// on, ending blocks where best_split.h decides or they fill; returns the
// bytes they cover, or 0 when the output failed. The scan position is left
// anywhere in the chunk: the caller sets it.
std::uint32_t RecordSymbols(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count,
                            bool send) {
  const std::uint32_t begin = state->scanPosition;
  std::uint32_t i = 0;
  SplitAhead ahead = {};
  for (std::uint32_t k = 0; k < count; ++k) {
    if (k % kBestSplitStep == 0) {
      if (BestBlockEndsBefore(state, symbols, count, k, &ahead) &&
          !EndBlockAt(state, begin + i, send)) {
        return 0;
      }
    }
    const std::uint32_t distance = symbols[k] >> 8;
    const std::uint8_t value = static_cast<std::uint8_t>(symbols[k]);
    state->scanPosition = begin + i + 1;
    const bool full = RecordSymbol(state, distance, value);
    i += distance == 0 ? 1 : value + kShortestMatch;
    if (full && !EndBlockAt(state, begin + i, send)) return 0;
  }
  return i;
}

// Parses from the scan position up to input offset until, or the input's
// end, with the search and the costs started afresh, handing each chunk's
// symbols to take (which may record them: the scan position is set after
// it). False when a read or take failed.
template <typename Take>
bool ParsePiece(DeflateState* state, std::uint64_t until, Take take) {
  std::memset(state->hashHeads, 0, sizeof state->hashHeads);
  std::memset(state->nearThree, 0, sizeof state->nearThree);
  SymbolCosts costs;
  FlatCosts(state, &costs);
  std::uint32_t passes = kBestPasses + kBestFirstPasses;
  for (;;) {
    std::uint32_t p = state->scanPosition;
    std::uint32_t ahead = state->bytesAhead;
    if (!FillWindow(state, &p, &ahead)) return false;
    if (ahead == 0 || state->windowBase + p >= until) return true;
    const std::uint32_t available = p + ahead;
    std::uint32_t end = state->inputEnded != 0 ? available : available - kLongestMatch;
    if (end - p > kBestChunk) end = p + kBestChunk;
    if (until - (state->windowBase + p) < end - p) {
      end = p + static_cast<std::uint32_t>(until - (state->windowBase + p));
    }
    end = SearchChunk(state, p, end, available);
    const std::uint32_t n = end - p;
    for (std::uint32_t pass = 0; pass < passes; ++pass) {
      FindPath(state, p, n, costs);
      // The last pass's costs are the next chunk's first guess, spread.
      CostsOfPath(state, p, n, pass + 1 == passes ? kBestGuessSpread : 0, &costs);
    }
    passes = kBestPasses;
    // The steps are free once the path is found: they take its symbols.
    const std::uint32_t count = PathSymbols(state, p, n, state->best.step);
    if (!take(state->best.step, count)) return false;
    state->scanPosition = end;
    state->bytesAhead = available - end;
  }
}

// The window filled as the parse fills it before each chunk, so that a
// replay slides it where the parse did (blocks may be stored while their
// bytes are in it).
bool FillForChunk(DeflateState* state) {
  std::uint32_t p = state->scanPosition;
  std::uint32_t ahead = state->bytesAhead;
  return FillWindow(state, &p, &ahead);
}

}  // namespace

bool RecordBestChunk(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count) {
  if (!FillForChunk(state)) return false;
  const std::uint32_t begin = state->scanPosition;
  const std::uint32_t covered = RecordSymbols(state, symbols, count, true);
  if (covered == 0 && count != 0) return false;
  state->scanPosition = begin + covered;
  state->bytesAhead -= covered;
  return true;
}

bool BestChunkFits(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count) {
  if (!FillForChunk(state)) return false;
  const std::uint8_t* window = state->slidingWindow;
  std::uint32_t p = state->scanPosition;
  std::uint32_t ahead = state->bytesAhead;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t distance = symbols[k] >> 8;
    const std::uint8_t value = static_cast<std::uint8_t>(symbols[k]);
    if (distance == 0) {
      if (ahead == 0 || window[p] != value) return false;
      ++p;
      --ahead;
      continue;
    }
    const std::uint32_t length = value + kShortestMatch;
    if (length > ahead || distance > p || distance > kFarthestDistance ||
        ExtendMatch(window + p, window + p - distance, 0, length) != length) {
      return false;
    }
    p += length;
    ahead -= length;
  }
  return true;
}

bool CompressBestPiece(DeflateState* state) {
  const std::uint64_t until = state->windowBase + state->scanPosition + kBestPieceBytes;
  return ParsePiece(state, until, [state](const std::uint32_t* symbols, std::uint32_t count) {
    return RecordSymbols(state, symbols, count, true) != 0 || count == 0;
  });
}

bool EndBestPiece(DeflateState* state) {
  if (!FillForChunk(state)) return false;
  if (!FinishMidBlock(state)) return false;
  // The window starts afresh at the piece's end: its bytes from there move
  // to position 0, as a parse of the next piece alone reads them.
  const std::uint32_t p = state->scanPosition;
  std::memmove(state->slidingWindow, state->slidingWindow + p, state->bytesAhead);
  state->windowBase += p;
  state->blockBegin = 0;
  state->scanPosition = 0;
  state->matchPosition = 0;
  return true;
}

void FinishBestStream(DeflateState* state) {
  if (FillForChunk(state)) FinishBlockHere(state, 1);
}

bool ParseBestPiece(DeflateState* state, DeflateSource source, std::uint64_t pieceBytes,
                    BestSymbolSink sink) {
  std::uint16_t fileType = 0;
  state->source = source;
  BeginEntryOutput(state, &fileType, kHighestLevel);
  state->chainsKept = 1;
  StartMatcher(kHighestLevel, state);
  const bool parsed = !state->failed &&
                      ParsePiece(state, pieceBytes,
                                 [state, &sink](const std::uint32_t* symbols, std::uint32_t count) {
                                   // The blocks are counted, not sent: the costs read their counts.
                                   RecordSymbols(state, symbols, count, false);
                                   return sink.take(sink.context, symbols, count);
                                 });
  state->fileTypeWord = nullptr;  // no block was sent
  return parsed;
}

void SlideTree(DeflateState* state) {
  BestParseMemory* memory = &state->best;
  for (std::uint16_t& head : state->hashHeads) head = SlidePosition(head);
  for (auto& children : memory->tree) {
    children[0] = SlidePosition(children[0]);
    children[1] = SlidePosition(children[1]);
  }
  for (std::uint16_t& near : state->nearThree) near = SlidePosition(near);
}

void CompressBest(DeflateState* state) {
  for (;;) {
    if (!CompressBestPiece(state)) return;
    if (state->bytesAhead == 0) break;
    if (!EndBestPiece(state)) return;
  }
  FinishBestStream(state);
}

}  // namespace zf
