// The Huffman codes of the fast levels' blocks, built by sorting instead of
// a heap. Apart from huffman_trees.cpp because the default level's bytes
// rest on that heap's exact order of ties, which only a heap gives; levels 1
// to 3 have bytes of their own and spend a tenth of their time on codes
// (small files are one block each, and each block builds three codes), so
// they take the cheaper way to an optimal code.
//
// Why it is cheap:
// - The used symbols are sorted by frequency, ties by symbol, as keys of
//   frequency and symbol in one word: by insertion for the short alphabets
//   (distances, code lengths), and for the literals by two passes of a
//   stable sort on the frequency's bytes (one when all are below 256).
// - The code is built in place over the sorted frequencies (leaves and
//   internal nodes both taken in order of weight, so no heap): a pass that
//   turns the array into parent links, one that turns those into depths of
//   internal nodes, and one that hands out the leaves' depths. Each is a
//   short loop over at most 286 entries.
// - A code longer than the limit is mended on the counts per length, and
//   the lengths handed out again from the longest to the least frequent
//   leaves.
#include <cstring>

#include "deflate/deflate_internal.h"

namespace zf {
namespace {

// A used symbol's sort key: its frequency above its number.
constexpr std::uint32_t kSymbolBits = 9;
constexpr std::uint32_t kSymbolMask = (1u << kSymbolBits) - 1;
constexpr std::uint32_t kInsertionSortMost = 48;

void SortKeys(std::uint32_t* keys, std::uint32_t* spare, std::uint32_t count, std::uint32_t most) {
  if (count <= kInsertionSortMost) {
    for (std::uint32_t i = 1; i < count; ++i) {
      const std::uint32_t key = keys[i];
      std::uint32_t j = i;
      while (j > 0 && keys[j - 1] > key) {
        keys[j] = keys[j - 1];
        --j;
      }
      keys[j] = key;
    }
    return;
  }
  // The keys arrive in order of symbol, so a stable sort on the frequency
  // alone keeps ties in that order.
  const std::uint32_t passes = most < 256 ? 1 : 2;
  for (std::uint32_t pass = 0; pass < passes; ++pass) {
    const std::uint32_t shift = kSymbolBits + 8 * pass;
    std::uint32_t start[256] = {};
    for (std::uint32_t i = 0; i < count; ++i) ++start[(keys[i] >> shift) & 0xFF];
    std::uint32_t sum = 0;
    for (std::uint32_t& bucket : start) {
      const std::uint32_t here = bucket;
      bucket = sum;
      sum += here;
    }
    for (std::uint32_t i = 0; i < count; ++i) spare[start[(keys[i] >> shift) & 0xFF]++] = keys[i];
    std::memcpy(keys, spare, count * sizeof keys[0]);
  }
}

// Turns weights, sorted ascending (at least two), into the depths of their
// leaves in an optimal code, in place: weights[0] gets the deepest.
void DepthsInPlace(std::uint32_t* weights, std::uint32_t count) {
  // Each internal node in turn takes the two lightest of the leaves left
  // and the internal nodes made before it, preferring a leaf on a tie; a
  // node's entry becomes its weight, and a node taken its parent's index.
  std::uint32_t leaf = 0;
  std::uint32_t root = 0;
  for (std::uint32_t next = 0; next + 1 < count; ++next) {
    std::uint32_t weight;
    if (leaf >= count || (root < next && weights[root] < weights[leaf])) {
      weight = weights[root];
      weights[root++] = next;
    } else {
      weight = weights[leaf++];
    }
    if (leaf >= count || (root < next && weights[root] < weights[leaf])) {
      weight += weights[root];
      weights[root++] = next;
    } else {
      weight += weights[leaf++];
    }
    weights[next] = weight;
  }
  // Internal nodes' depths, the root (the last) at 0: parents come later.
  weights[count - 2] = 0;
  for (std::uint32_t next = count - 2; next-- > 0;) weights[next] = weights[weights[next]] + 1;
  // Leaves per depth: at each depth the slots not taken by internal nodes
  // are leaves, handed out from the heaviest leaf down.
  std::uint32_t slots = 1;
  std::uint32_t depth = 0;
  std::uint32_t internal = count - 1;  // internal nodes not yet placed, as index + 1
  std::uint32_t out = count;
  while (slots > 0) {
    std::uint32_t used = 0;
    while (internal > 0 && weights[internal - 1] == depth) {
      ++used;
      --internal;
    }
    while (slots > used) {
      weights[--out] = depth;
      --slots;
    }
    slots = 2 * used;
    ++depth;
  }
}

}  // namespace

void BuildFastCode(DeflateState* state, TreeDescriptor* descriptor) {
  TreeNode* tree = descriptor->tree;
  const TreeNode* fixed = descriptor->fixedTree;
  const auto symbols = static_cast<std::uint32_t>(descriptor->alphabetSize);
  std::uint32_t keys[kLiteralSymbols];
  std::uint32_t spare[kLiteralSymbols];
  std::uint32_t count = 0;
  std::uint32_t most = 0;
  std::int32_t largest = -1;
  for (std::uint32_t n = 0; n < symbols; ++n) {
    const std::uint32_t f = tree[n].frequency;
    if (f != 0) {
      keys[count++] = f << kSymbolBits | n;
      most = f > most ? f : most;
      largest = static_cast<std::int32_t>(n);
    } else {
      tree[n].length = 0;
    }
  }
  // The format needs at least two codes per tree; as the heap's builder,
  // the forced symbols never occur, so their bits leave both sizes.
  while (count < 2) {
    const std::int32_t node = largest < 2 ? ++largest : 0;
    tree[node].frequency = 1;
    --state->dynamicBlockBits;
    if (fixed != nullptr) state->fixedBlockBits -= fixed[node].length;
    // The symbols are ascending unless the forced one is 0.
    if (count == 1 && node == 0) {
      keys[1] = keys[0];
      keys[0] = 1u << kSymbolBits;
    } else {
      keys[count] = 1u << kSymbolBits | static_cast<std::uint32_t>(node);
    }
    ++count;
    most = most > 1 ? most : 1;
  }
  descriptor->largestCode = largest;

  SortKeys(keys, spare, count, most);
  for (std::uint32_t i = 0; i < count; ++i) spare[i] = keys[i] >> kSymbolBits;
  DepthsInPlace(spare, count);

  // Too deep: clamp, then while the lengths overfill the code, move a leaf
  // from the deepest level with room one down, beside a clamped one: each
  // move takes 2^-limit off the code's sum of 2^-length, so the excess in
  // those units is the number of moves, and the code ends complete.
  const auto limit = static_cast<std::uint32_t>(descriptor->lengthLimit);
  std::uint16_t* perLength = state->codesPerLength;
  std::memset(perLength, 0, sizeof state->codesPerLength);
  if (spare[0] > limit) {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t bits = spare[i] > limit ? limit : spare[i];
      ++perLength[bits];
      sum += 1u << (limit - bits);
    }
    for (std::uint32_t excess = sum - (1u << limit); excess != 0; --excess) {
      std::uint32_t bits = limit - 1;
      while (perLength[bits] == 0) --bits;
      --perLength[bits];
      perLength[bits + 1] = static_cast<std::uint16_t>(perLength[bits + 1] + 2);
      --perLength[limit];
    }
    std::uint32_t i = 0;
    for (std::uint32_t bits = limit; bits != 0; --bits) {
      for (std::uint32_t left = perLength[bits]; left != 0; --left) spare[i++] = bits;
    }
  } else {
    for (std::uint32_t i = 0; i < count; ++i) ++perLength[spare[i]];
  }

  const std::int32_t* extra = descriptor->extraBits;
  const std::int32_t extraFrom = descriptor->extraBitsFrom;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto n = static_cast<std::int32_t>(keys[i] & kSymbolMask);
    const std::uint32_t f = keys[i] >> kSymbolBits;
    const std::uint32_t x = n >= extraFrom ? static_cast<std::uint32_t>(extra[n - extraFrom]) : 0;
    tree[n].length = static_cast<std::uint16_t>(spare[i]);
    state->dynamicBlockBits += f * (spare[i] + x);
    if (fixed != nullptr) state->fixedBlockBits += f * (fixed[n].length + x);
  }
  AssignCodes(state, tree, largest);
}

}  // namespace zf
