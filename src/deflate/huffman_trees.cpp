// Length-limited canonical Huffman codes for one block, the code-length tree
// of the dynamic header, the fixed codes and the code lookup tables.
#include <cstring>

#include "deflate/deflate_internal.h"

namespace zf {
namespace {

// Ties between equal frequencies go to the shallower subtree, which keeps
// the tree flat and the codes short; the exact order is part of the output.
// Frequency and depth combine into one key: a ranks before b when its key is
// not greater.
inline std::uint32_t RankKey(const TreeNode* tree, const std::uint8_t* depth, std::int32_t n) {
  return (std::uint32_t{tree[n].frequency} << 8) | depth[n];
}

// Each byte's bits in reverse order: a code's reversal is two lookups
// instead of a step per bit, which every tree of every block pays.
struct ReversedBytes {
  std::uint8_t byte[256];
};
constexpr ReversedBytes MakeReversedBytes() {
  ReversedBytes table{};
  for (std::uint32_t v = 0; v < 256; ++v) {
    std::uint32_t r = 0;
    for (std::uint32_t bit = 0; bit < 8; ++bit) r |= ((v >> bit) & 1) << (7 - bit);
    table.byte[v] = static_cast<std::uint8_t>(r);
  }
  return table;
}
constexpr ReversedBytes kReversedBytes = MakeReversedBytes();

// The low length bits of value (length 1 to 16) in reverse order.
inline std::uint16_t ReverseBits(std::uint32_t value, std::int32_t length) {
  const std::uint32_t whole = std::uint32_t{kReversedBytes.byte[value & 0xFF]} << 8 |
                              kReversedBytes.byte[(value >> 8) & 0xFF];
  return static_cast<std::uint16_t>(whole >> (16 - length));
}

// Restores the heap order below index; entries rank by their upper half
// alone, exactly as their nodes' keys do.
void SiftDown(std::uint64_t* heap, std::int32_t count, std::int32_t index) {
  const std::uint64_t v = heap[index];
  const std::uint64_t key = v >> 32;
  std::int32_t j = index << 1;
  while (j <= count) {
    std::uint64_t child = heap[j];
    if (j < count && (heap[j + 1] >> 32) <= (child >> 32)) child = heap[++j];
    if (key <= (child >> 32)) break;
    heap[index] = child;
    index = j;
    j <<= 1;
  }
  heap[index] = v;
}

inline void AddFrequency(TreeNode* node, std::uint32_t count) {
  node->frequency = static_cast<std::uint16_t>(node->frequency + count);
}

}  // namespace

void ResetBlock(DeflateState* state) {
  for (int n = 0; n < kLiteralSymbols; ++n) state->literalTree[n].frequency = 0;
  for (int n = 0; n < kDistanceSymbols; ++n) state->distanceTree[n].frequency = 0;
  for (int n = 0; n < kLengthCodeSymbols; ++n) state->lengthCodeTree[n].frequency = 0;
  state->fixedBlockBits = 0;
  state->dynamicBlockBits = 0;
  state->flagByteCount = 0;
  state->distanceCount = 0;
  state->symbolCount = 0;
  for (std::uint32_t& kind : state->splitCounts) kind = 0;
  state->pendingFlags = 0;
  state->literalTree[kEndOfBlock].frequency = 1;
  state->flagMask = 1;
}

void BuildFixedTables(DeflateState* state) {
  std::int32_t length = 0;
  for (int c = 0; c < kLengthCodes - 1; ++c) {
    state->lengthBase[c] = length;
    for (int k = 0; k < (1 << lengthExtraBits[c]); ++k) {
      state->lengthToCode[length++] = static_cast<std::uint8_t>(c);
    }
  }
  // Length 258 fits code 284 with extra value 31 as well, but the format
  // gives it code 285 of its own.
  state->lengthToCode[255] = kLengthCodes - 1;

  std::int32_t distance = 0;
  for (int c = 0; c < 16; ++c) {
    state->distanceBase[c] = distance;
    for (int k = 0; k < (1 << distanceExtraBits[c]); ++k) {
      state->distanceToCode[distance++] = static_cast<std::uint8_t>(c);
    }
  }
  // From distance 257 on every code spans a multiple of 128 distances, so the
  // second half of the table is indexed in units of 128.
  distance >>= 7;
  for (int c = 16; c < kDistanceSymbols; ++c) {
    state->distanceBase[c] = distance << 7;
    for (int k = 0; k < (1 << (distanceExtraBits[c] - 7)); ++k) {
      state->distanceToCode[256 + distance++] = static_cast<std::uint8_t>(c);
    }
  }

  std::memset(state->codesPerLength, 0, sizeof state->codesPerLength);
  TreeNode* fixed = state->fixedLiteralTree;
  for (int n = 0; n < kFixedLiteralSymbols; ++n) {
    const std::uint16_t bits = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
    fixed[n].length = bits;
    ++state->codesPerLength[bits];
  }
  AssignCodes(state, fixed, kFixedLiteralSymbols - 1);
  for (int n = 0; n < kDistanceSymbols; ++n) {
    state->fixedDistanceTree[n].length = 5;
    state->fixedDistanceTree[n].code = ReverseBits(static_cast<std::uint32_t>(n), 5);
  }
  ResetBlock(state);
}

void BuildHuffmanTree(DeflateState* state, TreeDescriptor* descriptor) {
  TreeNode* tree = descriptor->tree;
  const TreeNode* fixed = descriptor->fixedTree;
  const std::int32_t symbols = descriptor->alphabetSize;
  std::uint8_t* depth = state->nodeDepth;
  // Each heap entry carries its node's rank, so that sifting compares
  // entries without looking up their nodes.
  std::uint64_t heap[kHeapSize];
  auto entry = [tree, depth](std::int32_t n) {
    return (std::uint64_t{RankKey(tree, depth, n)} << 32) | static_cast<std::uint32_t>(n);
  };

  std::int32_t count = 0;
  state->sortedStart = kHeapSize;
  std::int32_t largest = -1;
  for (std::int32_t n = 0; n < symbols; ++n) {
    if (tree[n].frequency != 0) {
      depth[n] = 0;
      heap[++count] = entry(largest = n);
    } else {
      tree[n].length = 0;
    }
  }

  // The format needs at least two codes per tree. The forced symbols never
  // occur in the block, so their bits are taken back out of both sizes.
  while (count < 2) {
    const std::int32_t node = largest < 2 ? ++largest : 0;
    tree[node].frequency = 1;
    depth[node] = 0;
    heap[++count] = entry(node);
    --state->dynamicBlockBits;
    if (fixed != nullptr) state->fixedBlockBits -= fixed[node].length;
  }
  descriptor->largestCode = largest;

  for (std::int32_t k = count / 2; k >= 1; --k) SiftDown(heap, count, k);

  auto node = [](std::uint64_t e) { return static_cast<std::int32_t>(e & 0xFFFFFFFFu); };
  std::int32_t* sorted = state->heap;
  std::int32_t next = symbols;
  do {
    const std::int32_t n = node(heap[1]);
    heap[1] = heap[count--];
    SiftDown(heap, count, 1);
    const std::int32_t m = node(heap[1]);
    sorted[--state->sortedStart] = n;
    sorted[--state->sortedStart] = m;
    tree[next].frequency = static_cast<std::uint16_t>(tree[n].frequency + tree[m].frequency);
    depth[next] = static_cast<std::uint8_t>((depth[n] >= depth[m] ? depth[n] : depth[m]) + 1);
    tree[n].parent = tree[m].parent = static_cast<std::uint16_t>(next);
    heap[1] = entry(next++);
    SiftDown(heap, count, 1);
  } while (count >= 2);
  sorted[--state->sortedStart] = node(heap[1]);

  LimitCodeLengths(state, descriptor);
  AssignCodes(state, tree, descriptor->largestCode);
}

void LimitCodeLengths(DeflateState* state, TreeDescriptor* descriptor) {
  TreeNode* tree = descriptor->tree;
  const TreeNode* fixed = descriptor->fixedTree;
  const std::int32_t* extra = descriptor->extraBits;
  const std::int32_t extraFrom = descriptor->extraBitsFrom;
  const std::int32_t limit = descriptor->lengthLimit;
  const std::int32_t largest = descriptor->largestCode;
  const std::int32_t* heap = state->heap;
  std::uint16_t* perLength = state->codesPerLength;

  std::memset(perLength, 0, sizeof state->codesPerLength);
  std::int32_t overflow = 0;
  tree[heap[state->sortedStart]].length = 0;

  // Parents precede their children in the sorted part of the heap, so one
  // pass gives every node its depth.
  for (std::int32_t h = state->sortedStart + 1; h < kHeapSize; ++h) {
    const std::int32_t n = heap[h];
    std::int32_t bits = tree[tree[n].parent].length + 1;
    if (bits > limit) {
      bits = limit;
      ++overflow;
    }
    tree[n].length = static_cast<std::uint16_t>(bits);
    if (n > largest) continue;
    ++perLength[bits];
    const std::uint32_t x = n >= extraFrom ? static_cast<std::uint32_t>(extra[n - extraFrom]) : 0;
    const std::uint32_t f = tree[n].frequency;
    state->dynamicBlockBits += f * (static_cast<std::uint32_t>(bits) + x);
    if (fixed != nullptr) state->fixedBlockBits += f * (fixed[n].length + x);
  }
  if (overflow == 0) return;

  // Move leaves down from the deepest level that still has room until the
  // counts describe a complete code again.
  do {
    std::int32_t bits = limit - 1;
    while (perLength[bits] == 0) --bits;
    --perLength[bits];
    perLength[bits + 1] = static_cast<std::uint16_t>(perLength[bits + 1] + 2);
    --perLength[limit];
    overflow -= 2;
  } while (overflow > 0);

  // Hand the lengths back out, longest to the least frequent leaves.
  std::int32_t h = kHeapSize;
  for (std::int32_t bits = limit; bits != 0; --bits) {
    std::int32_t n = perLength[bits];
    while (n != 0) {
      const std::int32_t m = heap[--h];
      if (m > largest) continue;
      if (tree[m].length != bits) {
        state->dynamicBlockBits += static_cast<std::uint32_t>(bits - tree[m].length) *
                                   static_cast<std::uint32_t>(tree[m].frequency);
        tree[m].length = static_cast<std::uint16_t>(bits);
      }
      --n;
    }
  }
}

void AssignCodes(DeflateState* state, TreeNode* tree, std::int32_t largest) {
  std::uint16_t first[kMaxCodeBits + 1];
  std::uint16_t code = 0;
  first[0] = 0;
  for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
    code = static_cast<std::uint16_t>((code + state->codesPerLength[bits - 1]) << 1);
    first[bits] = code;
  }
  for (std::int32_t n = 0; n <= largest; ++n) {
    const std::int32_t length = tree[n].length;
    if (length == 0) continue;
    tree[n].code = ReverseBits(first[length]++, length);
  }
}

void CountRunLengths(DeflateState* state, TreeNode* tree, std::int32_t largest) {
  TreeNode* lengths = state->lengthCodeTree;
  std::int32_t previous = -1;
  std::int32_t next = tree[0].length;
  std::uint32_t count = 0;
  RunLimits limits = NextRunLimits(-1, next);

  tree[largest + 1].length = 0xFFFF;  // equals no length, so the last run ends at largest
  for (std::int32_t n = 0; n <= largest; ++n) {
    const std::int32_t current = next;
    next = tree[n + 1].length;
    if (++count < limits.maxCount && current == next) continue;
    if (count < limits.minCount) {
      AddFrequency(&lengths[current], count);
    } else if (current != 0) {
      if (current != previous) AddFrequency(&lengths[current], 1);
      AddFrequency(&lengths[16], 1);
    } else if (count <= 10) {
      AddFrequency(&lengths[17], 1);
    } else {
      AddFrequency(&lengths[18], 1);
    }
    count = 0;
    previous = current;
    limits = NextRunLimits(current, next);
  }
}

std::int32_t BuildLengthTree(DeflateState* state) {
  CountRunLengths(state, state->literalTree, state->literalDesc.largestCode);
  CountRunLengths(state, state->distanceTree, state->distanceDesc.largestCode);
  BuildCode(state, &state->lengthCodeDesc);
  std::int32_t last = kLengthCodeSymbols - 1;
  while (last >= 3 && state->lengthCodeTree[codeLengthOrder[last]].length == 0) --last;
  state->dynamicBlockBits += 3 * static_cast<std::uint32_t>(last + 1) + 5 + 5 + 4;
  return last;
}

void GuessTextOrBinary(DeflateState* state) {
  std::uint32_t binary = 0;
  std::uint32_t text = 0;
  for (int n = 0; n < 7; ++n) binary += state->literalTree[n].frequency;
  for (int n = 7; n < 128; ++n) text += state->literalTree[n].frequency;
  for (int n = 128; n < 256; ++n) binary += state->literalTree[n].frequency;
  *state->fileTypeWord = binary > text / 4 ? 0 : 1;
}

}  // namespace zf
