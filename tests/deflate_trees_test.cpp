// The code tables and the Huffman trees of one block: lengths within their
// limits, complete prefix codes that decode to their symbols, the exact tie
// rules, the header's run lengths and the bit counts of both block forms.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "deflate_test_helpers.h"

namespace {

using zft::DeflateHarness;

// Checks that the tree's codes form a complete prefix code that the RFC's
// canonical decoder maps back to each symbol, and returns the lengths.
std::vector<int> CheckCodes(const zf::TreeNode* tree, int symbols, int lengthLimit,
                            bool complete = true) {
  std::vector<int> lengths(static_cast<std::size_t>(symbols));
  std::uint32_t space = 0;
  for (int s = 0; s < symbols; ++s) {
    const int length = tree[s].length;
    lengths[static_cast<std::size_t>(s)] = length;
    EXPECT_LE(length, lengthLimit) << "symbol " << s;
    if (length != 0) space += 1u << (15 - length);
  }
  if (complete) {
    EXPECT_EQ(space, 1u << 15) << "the code is not complete";
  }
  zft::detail::Code code;
  EXPECT_TRUE(code.Build(lengths));
  for (int s = 0; s < symbols; ++s) {
    const int length = tree[s].length;
    if (length == 0) continue;
    std::vector<std::uint8_t> bits(2, 0);
    bits[0] = static_cast<std::uint8_t>(tree[s].code);
    bits[1] = static_cast<std::uint8_t>(tree[s].code >> 8);
    zft::detail::BitReader in{bits};
    EXPECT_EQ(code.Decode(in), s);
    EXPECT_EQ(in.bitPos, static_cast<std::size_t>(length));
  }
  return lengths;
}

TEST(DeflateTables, LengthAndDistanceCodesMatchTheFormat) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  const zf::DeflateState* state = zft::BlockState(harness, &entry);
  for (int length = 3; length <= 258; ++length) {
    const int c = state->lengthToCode[length - 3];
    EXPECT_LE(zft::detail::kLengthBase[c], length);
    EXPECT_LT(length, zft::detail::kLengthBase[c] + (1 << zft::detail::kLengthExtra[c]));
    if (zf::lengthExtraBits[c] != 0) {
      EXPECT_EQ(state->lengthBase[c], zft::detail::kLengthBase[c] - 3);
    }
  }
  EXPECT_EQ(state->lengthToCode[255], 28);  // 258 has a code of its own
  for (int distance = 1; distance <= 32768; ++distance) {
    const auto e =
        static_cast<int>(zf::DistanceCode(state, static_cast<std::uint32_t>(distance - 1)));
    EXPECT_LE(zft::detail::kDistBase[e], distance);
    EXPECT_LT(distance, zft::detail::kDistBase[e] + (1 << zft::detail::kDistExtra[e]));
    EXPECT_EQ(state->distanceBase[e], zft::detail::kDistBase[e] - 1);
  }
  // The fixed codes, stored bit-reversed.
  EXPECT_EQ(state->fixedLiteralTree[256].length, 7);
  EXPECT_EQ(state->fixedLiteralTree[256].code, 0);
  EXPECT_EQ(state->fixedDistanceTree[1].code, 16);
  EXPECT_EQ(state->fixedDistanceTree[29].code, 23);
  CheckCodes(state->fixedLiteralTree, 288, 9);
  CheckCodes(state->fixedDistanceTree, 30, 5, false);  // 30 of 32 five-bit codes
}

TEST(DeflateTrees, EveryTreeGetsAtLeastTwoCodesWithoutChangingTheSizes) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  // A block with nothing but the end of block: symbol 0 is forced beside it.
  zf::BuildHuffmanTree(state, &state->literalDesc);
  EXPECT_EQ(state->literalDesc.largestCode, 256);
  EXPECT_EQ(state->literalTree[0].length, 1);
  EXPECT_EQ(state->literalTree[256].length, 1);
  EXPECT_EQ(state->dynamicBlockBits, 1u);
  EXPECT_EQ(state->fixedBlockBits, 7u);
  // No matches: distance symbols 0 and 1 are forced and cost nothing.
  zf::BuildHuffmanTree(state, &state->distanceDesc);
  EXPECT_EQ(state->distanceDesc.largestCode, 1);
  EXPECT_EQ(state->distanceTree[0].length, 1);
  EXPECT_EQ(state->distanceTree[1].length, 1);
  EXPECT_EQ(state->dynamicBlockBits, 1u);
  EXPECT_EQ(state->fixedBlockBits, 7u);
  // The first non-zero literal length is always sent by itself.
  EXPECT_GE(zf::BuildLengthTree(state), 4);

  // One distance symbol used: 0 forces 1, 1 forces 2, 5 forces 0.
  const std::map<int, int> cases = {{0, 1}, {1, 2}, {5, 5}};  // used symbol -> largestCode
  for (const auto& [used, largest] : cases) {
    zf::ResetBlock(state);
    state->distanceTree[used].frequency = 3;
    zf::BuildHuffmanTree(state, &state->distanceDesc);
    EXPECT_EQ(state->distanceDesc.largestCode, largest) << "used " << used;
    EXPECT_EQ(state->distanceTree[used].length, 1);
    const auto extra = static_cast<std::uint32_t>(zf::distanceExtraBits[used]);
    EXPECT_EQ(state->dynamicBlockBits, 3u * (1 + extra));
    EXPECT_EQ(state->fixedBlockBits, 3u * (5 + extra));
  }
}

TEST(DeflateTrees, EqualFrequenciesPreferTheShallowerNode) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  // After 1+1 merge, the leaves of 2 rank before the merged node of 2, so
  // the tree stays flat: all four codes 2 bits (not 1, 2, 3, 3).
  const int frequencies[4] = {2, 2, 1, 1};
  for (int s = 0; s < 4; ++s) {
    state->distanceTree[s].frequency = static_cast<std::uint16_t>(frequencies[s]);
  }
  zf::BuildHuffmanTree(state, &state->distanceDesc);
  for (int s = 0; s < 4; ++s) EXPECT_EQ(state->distanceTree[s].length, 2) << "symbol " << s;
  CheckCodes(state->distanceTree, 30, 15);
}

TEST(DeflateTrees, FibonacciFrequenciesAreLimitedToCompleteCodes) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  std::uint32_t fib[24] = {1, 1};
  for (int i = 2; i < 24; ++i) fib[i] = fib[i - 1] + fib[i - 2];

  // With the end of block's 1, literals of 1, 2, 3, 5 ... would make a tree
  // 21 deep.
  std::vector<std::uint32_t> frequency(286, 0);
  frequency[256] = 1;
  for (int s = 0; s < 21; ++s) frequency[static_cast<std::size_t>(s)] = fib[s + 1];
  for (int s = 0; s < 21; ++s) {
    state->literalTree[s].frequency = static_cast<std::uint16_t>(fib[s + 1]);
  }
  zf::BuildHuffmanTree(state, &state->literalDesc);
  const std::vector<int> lengths = CheckCodes(state->literalTree, 286, 15);
  EXPECT_EQ(*std::max_element(lengths.begin(), lengths.end()), 15);
  std::uint32_t bits = 0;
  for (std::size_t s = 0; s < 286; ++s) {
    bits += frequency[s] * static_cast<std::uint32_t>(lengths[s]);
    for (std::size_t t = 0; t < 286; ++t) {
      if (frequency[s] != 0 && frequency[s] < frequency[t]) {
        EXPECT_GE(lengths[s], lengths[t]) << "the rarer symbol must not get the shorter code";
      }
    }
  }
  EXPECT_EQ(state->dynamicBlockBits, bits) << "the size must follow the repaired lengths";

  // The code-length alphabet is limited to 7 bits.
  for (int s = 0; s < 19; ++s) {
    state->lengthCodeTree[s].frequency = static_cast<std::uint16_t>(fib[s]);
  }
  zf::BuildHuffmanTree(state, &state->lengthCodeDesc);
  const std::vector<int> codeLengths = CheckCodes(state->lengthCodeTree, 19, 7);
  EXPECT_EQ(*std::max_element(codeLengths.begin(), codeLengths.end()), 7);
}

// The fast levels' code by sorting against the heap's on the same counts:
// the same forced symbols and sizes of both block forms, a code as short
// (both are optimal while within the limit), and past the limit a complete
// code that gives no rarer symbol a shorter code.
TEST(DeflateTrees, SortedCodesAreOptimalCompleteAndLimitedAsTheHeapsAre) {
  struct Counts {
    const char* name;
    std::vector<std::uint32_t> literals;  // by symbol; the rest 0
    std::vector<std::uint32_t> distances;
  };
  std::vector<std::uint32_t> fibonacci = {1, 1};
  while (fibonacci.size() < 24) fibonacci.push_back(fibonacci.end()[-1] + fibonacci.end()[-2]);
  std::vector<std::uint32_t> spread(286), wide(286), few(3);
  for (std::uint32_t s = 0; s < 286; ++s) {
    spread[s] = (s * 7919u) % 97u;         // ties, zeros, every symbol up to 285
    wide[s] = 1u + (s * 104729u) % 9000u;  // frequencies past one byte
  }
  few = {0, 0, 40};
  const Counts kCases[] = {
      {"end of block only", {}, {}},
      {"one distance", {}, {0, 0, 0, 0, 0, 3}},
      {"spread", spread, few},
      {"wide", wide, {5, 5, 5, 5}},
      {"fibonacci past 15 bits", {fibonacci.begin() + 1, fibonacci.begin() + 22}, fibonacci},
  };
  DeflateHarness harness;
  for (const Counts& c : kCases) {
    SCOPED_TRACE(c.name);
    zf::ZipEntry entry{};
    zf::DeflateState* state = zft::BlockState(harness, &entry);
    struct Result {
      std::vector<int> literals, distances;
      std::int32_t largestLiteral, largestDistance;
      std::uint32_t dynamicBits, fixedBits;
    };
    auto build = [&](void (*builder)(zf::DeflateState*, zf::TreeDescriptor*)) {
      zf::ResetBlock(state);
      for (std::size_t s = 0; s < c.literals.size(); ++s) {
        state->literalTree[s].frequency = static_cast<std::uint16_t>(c.literals[s]);
      }
      for (std::size_t s = 0; s < c.distances.size() && s < 30; ++s) {
        state->distanceTree[s].frequency = static_cast<std::uint16_t>(c.distances[s]);
      }
      builder(state, &state->literalDesc);
      builder(state, &state->distanceDesc);
      return Result{CheckCodes(state->literalTree, 286, 15),
                    CheckCodes(state->distanceTree, 30, 15),
                    state->literalDesc.largestCode,
                    state->distanceDesc.largestCode,
                    state->dynamicBlockBits,
                    state->fixedBlockBits};
    };
    const Result heap = build(zf::BuildHuffmanTree);
    const Result sorted = build(zf::BuildFastCode);
    EXPECT_EQ(sorted.largestLiteral, heap.largestLiteral);
    EXPECT_EQ(sorted.largestDistance, heap.largestDistance);
    EXPECT_EQ(sorted.fixedBits, heap.fixedBits);
    const bool limited = *std::max_element(heap.literals.begin(), heap.literals.end()) == 15;
    if (limited) {
      EXPECT_LE(sorted.dynamicBits, heap.dynamicBits + heap.dynamicBits / 50);
    } else {
      EXPECT_EQ(sorted.dynamicBits, heap.dynamicBits);
    }
    for (std::size_t s = 0; s < c.literals.size(); ++s) {
      for (std::size_t t = 0; t < c.literals.size(); ++t) {
        if (c.literals[s] != 0 && c.literals[s] < c.literals[t]) {
          EXPECT_GE(sorted.literals[s], sorted.literals[t]) << s << " against " << t;
        }
      }
    }
  }
  // The code-length alphabet's limit of 7 bits.
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  for (int s = 0; s < 19; ++s) {
    state->lengthCodeTree[s].frequency = static_cast<std::uint16_t>(fibonacci[s]);
  }
  zf::BuildFastCode(state, &state->lengthCodeDesc);
  const std::vector<int> codeLengths = CheckCodes(state->lengthCodeTree, 19, 7);
  EXPECT_EQ(*std::max_element(codeLengths.begin(), codeLengths.end()), 7);
}

struct RunCase {
  std::vector<int> lengths;
  std::map<int, int> counts;  // code-length symbol -> times counted
};

std::vector<int> Lengths(std::initializer_list<std::pair<int, int>> runs) {
  std::vector<int> lengths;
  for (const auto& [value, times] : runs) {
    lengths.insert(lengths.end(), static_cast<std::size_t>(times), value);
  }
  return lengths;
}

TEST(DeflateTrees, HeaderRunLengthsAreCountedAndSentAlike) {
  const std::vector<RunCase> cases = {
      {Lengths({{3, 3}}), {{3, 3}}},  // under the minimum of 4
      {Lengths({{2, 1}, {3, 3}}), {{2, 1}, {3, 3}}},
      {Lengths({{2, 1}, {3, 4}}), {{2, 1}, {3, 1}, {16, 1}}},
      {Lengths({{2, 1}, {3, 7}}), {{2, 1}, {3, 1}, {16, 1}}},
      {Lengths({{2, 1}, {3, 9}}), {{2, 1}, {3, 3}, {16, 1}}},   // 7, then 2 alone
      {Lengths({{2, 1}, {3, 10}}), {{2, 1}, {3, 1}, {16, 2}}},  // 7, then 3 as a repeat
      {Lengths({{1, 1}, {0, 2}, {1, 1}}), {{1, 2}, {0, 2}}},
      {Lengths({{1, 1}, {0, 3}, {1, 1}}), {{1, 2}, {17, 1}}},
      {Lengths({{1, 1}, {0, 10}, {1, 1}}), {{1, 2}, {17, 1}}},
      {Lengths({{1, 1}, {0, 11}, {1, 1}}), {{1, 2}, {18, 1}}},
      {Lengths({{1, 1}, {0, 138}, {1, 1}}), {{1, 2}, {18, 1}}},
      {Lengths({{1, 1}, {0, 139}, {1, 1}}), {{1, 2}, {18, 1}, {0, 1}}},
  };
  DeflateHarness harness;
  for (const RunCase& c : cases) {
    zf::ZipEntry entry{};
    zf::DeflateState* state = zft::BlockState(harness, &entry);
    const auto largest = static_cast<std::int32_t>(c.lengths.size()) - 1;
    for (std::size_t s = 0; s < c.lengths.size(); ++s) {
      state->literalTree[s].length = static_cast<std::uint16_t>(c.lengths[s]);
    }
    zf::CountRunLengths(state, state->literalTree, largest);
    std::map<int, int> counted;
    for (int s = 0; s < 19; ++s) {
      if (state->lengthCodeTree[s].frequency != 0) counted[s] = state->lengthCodeTree[s].frequency;
    }
    EXPECT_EQ(counted, c.counts) << "case of " << c.lengths.size() << " lengths";

    // Sent with the code-length codes, they read back as the same lengths.
    zf::BuildHuffmanTree(state, &state->lengthCodeDesc);
    const std::uint64_t start = harness.writer->position;
    EXPECT_EQ(zf::EmitRunLengths(state, state->literalTree, largest), 1);
    zf::AlignOutput(state);
    const std::vector<std::uint8_t> sent = zft::OutputSince(harness, start);
    std::vector<int> codeLengths(19);
    for (int s = 0; s < 19; ++s) {
      codeLengths[static_cast<std::size_t>(s)] = state->lengthCodeTree[s].length;
    }
    zft::detail::Code lengthCode;
    ASSERT_TRUE(lengthCode.Build(codeLengths));
    zft::detail::BitReader in{sent};
    std::vector<int> read;
    zft::Decoded unused;
    EXPECT_TRUE(zft::detail::ReadLengths(in, lengthCode, static_cast<int>(c.lengths.size()), &read,
                                         &unused));
    EXPECT_EQ(read, c.lengths);
  }
}

TEST(DeflateTrees, TextOrBinaryGuessFromTheFirstBlock) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  zf::GuessTextOrBinary(state);
  EXPECT_EQ(entry.internalAttributes, 1);  // only the end of block
  for (const auto& [binary, expected] : std::map<int, int>{{100, 1}, {101, 0}}) {
    zf::ResetBlock(state);
    state->literalTree['a'].frequency = 300;
    state->literalTree[127].frequency = 100;  // text: 7-127
    state->literalTree[6].frequency = 1;      // binary: 0-6 and 128-255
    state->literalTree[200].frequency = static_cast<std::uint16_t>(binary - 1);
    zf::GuessTextOrBinary(state);
    EXPECT_EQ(entry.internalAttributes, expected) << binary << " binary bytes against 400";
  }
}

}  // namespace
