// The compressor's output is fixed to the bit: archives of the same folder
// must stay byte for byte the same across versions. The inputs below come
// from a fixed seed and run one after the other on one compressor state, so
// the reuse of the state between entries is part of what is pinned. Each
// stream's length and CRC-32 were recorded once; any change to a match
// choice, a block end or a code shows up here. The match search's chain
// walk, whose stored form is built for speed, is also held against the
// plain definition of a hash chain. Every other level is pinned on the same
// inputs, and the fast run of levels 1 to 3 is held against its rules
// written out plainly (its bucket table, compress_fast.cpp).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "deflate/deflate_internal.h"
#include "deflate/deflate_state.h"
#include "deflate/hash_chains.h"
#include "deflate/middle_chains.h"
#include "deflate_test_helpers.h"

namespace {

// xorshift64*: the inputs must not depend on anything outside this file.
struct Generator {
  std::uint64_t state;
  std::uint32_t Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<std::uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
  }
  std::uint32_t Below(std::uint32_t bound) { return Next() % bound; }
};

enum class Kind { Text, Binary, Runs, Random, FewSymbols, Periodic, FarTriples, Decoys };

std::vector<std::uint8_t> Generate(Kind kind, std::size_t size, std::uint32_t seed) {
  Generator g{0x9E3779B97F4A7C15ull * (seed + 1)};
  std::vector<std::uint8_t> out;
  out.reserve(size + 300);
  switch (kind) {
    case Kind::Text: {
      // Words with a skewed frequency, in lines of varied length: long hash
      // chains with many short and some long matches.
      static const char* const words[] = {
          "the",  "of",      "int",  "return", "static", "const",   "struct",  "uint32_t",
          "if",   "else",    "for",  "while",  "state",  "window",  "archive", "position",
          "size", "(void)",  "{",    "}",      ";",      "#define", "0x",      "/*",
          "*/",   "length_", "next", "match",  "=",      "==",      "->",      "include"};
      while (out.size() < size) {
        const std::uint32_t r = g.Below(1024);
        const std::uint32_t w = r < 512 ? r % 8 : r < 896 ? 8 + r % 16 : 24 + r % 8;
        const std::string word = words[w];
        out.insert(out.end(), word.begin(), word.end());
        if (g.Below(7) == 0) {
          for (std::uint32_t d = g.Below(4); d != 0; --d)
            out.push_back(static_cast<std::uint8_t>('0' + g.Below(10)));
        }
        out.push_back(g.Below(9) == 0 ? '\n' : ' ');
      }
      break;
    }
    case Kind::Binary:
      // Like machine code: recurring opcodes, growing little-endian offsets
      // and small tables, among noise.
      while (out.size() < size) {
        const std::uint32_t r = g.Below(6);
        if (r == 0) {
          const std::uint32_t offset = static_cast<std::uint32_t>(out.size()) * 3 + g.Below(64);
          out.insert(out.end(), {0x48, 0x8B, 0x05, static_cast<std::uint8_t>(offset),
                                 static_cast<std::uint8_t>(offset >> 8), 0, 0});
        } else if (r == 1) {
          out.insert(out.end(), {0xE8, static_cast<std::uint8_t>(g.Next()),
                                 static_cast<std::uint8_t>(g.Below(4)), 0xFF, 0xFF});
        } else if (r == 2) {
          for (int k = 0; k < 8; ++k)
            out.push_back(static_cast<std::uint8_t>(k == 0 ? g.Next() : 0));
        } else if (r == 3 && out.size() > 4000) {
          const std::size_t from = out.size() - 1 - g.Below(4000);
          const std::uint32_t length = 4 + g.Below(40);
          for (std::uint32_t k = 0; k < length; ++k) out.push_back(out[from + k]);
        } else {
          out.push_back(static_cast<std::uint8_t>(g.Next()));
        }
      }
      break;
    case Kind::Runs:
      // Runs of one byte, from one byte long to past the longest match.
      while (out.size() < size) {
        const auto byte = static_cast<std::uint8_t>(g.Below(3) == 0 ? g.Next() : 'a');
        out.insert(out.end(), 1 + g.Below(g.Below(2) == 0 ? 8 : 2000), byte);
      }
      break;
    case Kind::Random:
      while (out.size() < size) out.push_back(static_cast<std::uint8_t>(g.Next()));
      break;
    case Kind::FewSymbols:
      // Four symbols: chains far longer than the search may walk, so the
      // chain limit and its shortening after a good match decide.
      while (out.size() < size) out.push_back("ACGT"[g.Below(4)]);
      break;
    case Kind::Periodic: {
      // Noise repeated at a period around the farthest distance a match may
      // reach (seed = period), then altered here and there.
      for (std::size_t i = 0; i < size; ++i) {
        out.push_back(i < seed ? static_cast<std::uint8_t>(g.Next()) : out[i - seed]);
        if (g.Below(5000) == 0) out.back() ^= 0x5A;
      }
      break;
    }
    case Kind::FarTriples:
      // Noise with three-byte repeats near and beyond 4,096 bytes back.
      while (out.size() < size) {
        if (out.size() > 5000 && g.Below(40) == 0) {
          const std::size_t from = out.size() - 4090 - g.Below(12);
          for (int k = 0; k < 3; ++k) out.push_back(out[from + static_cast<std::size_t>(k)]);
        } else {
          out.push_back(static_cast<std::uint8_t>(g.Next()));
        }
      }
      break;
    case Kind::Decoys:
      // Two symbols, so every hash chain is long. Every 2,000 bytes a string
      // is set up to match exactly 32 bytes at one position and 40 from the
      // next one on, the 40 lying deeper in the chain than a search after a
      // 32-byte match may look.
      while (out.size() < size) {
        const std::size_t at = out.size();
        auto flip = [](std::uint8_t b) { return static_cast<std::uint8_t>(b == 'a' ? 'b' : 'a'); };
        auto noise = [&](std::size_t until) {
          while (out.size() < until) out.push_back(g.Below(2) == 0 ? 'a' : 'b');
        };
        if (at < 5000) {
          noise(at + 2000);
          continue;
        }
        const std::size_t source = at - 4000;
        out.push_back(flip(out[source]));
        for (std::size_t k = 1; k < 32; ++k) out.push_back(out[source + k]);
        out.push_back(flip(out[source + 32]));
        noise(at + 1000);
        out.push_back(flip(out[source]));
        for (std::size_t k = 1; k <= 40; ++k) out.push_back(out[source + k]);
        noise(at + 2000);
      }
      break;
  }
  out.resize(size);
  return out;
}

struct Golden {
  Kind kind;
  std::size_t size;
  std::uint32_t seed;
  std::uint32_t streamLength;
  std::uint32_t streamCrc;
};

// Order matters: small entries after large ones search window bytes that
// the large ones left behind.
constexpr Golden kGolden[] = {
    {Kind::Random, 0, 1, 2, 0x6af4413c},
    {Kind::Text, 1, 2, 3, 0x9d03d795},
    {Kind::Text, 2, 3, 4, 0xa92a896d},
    {Kind::Runs, 3, 4, 5, 0x252fc860},
    {Kind::Text, 4, 5, 6, 0x6c085c41},
    {Kind::Text, 300, 6, 168, 0xafad2032},
    {Kind::Text, 70000, 7, 17315, 0x138d7e9d},
    {Kind::Text, 5, 8, 7, 0xd04bbeea},
    {Kind::Binary, 20000, 9, 7204, 0x553bab2c},
    {Kind::Text, 400000, 10, 96350, 0xec955735},
    {Kind::Decoys, 100000, 25, 15347, 0xf3f16074},
    {Kind::Runs, 700, 11, 9, 0x4c1cd380},
    {Kind::Binary, 300000, 12, 93387, 0x5a4df850},
    {Kind::Runs, 200000, 13, 845, 0x7f4bc971},
    {Kind::Random, 100000, 14, 100020, 0xdbeba644},
    {Kind::FewSymbols, 150000, 15, 43998, 0xb012fc66},
    {Kind::Text, 65273, 16, 16518, 0xb051138c},
    {Kind::Text, 65274, 17, 16424, 0x3a68b204},
    {Kind::Binary, 65536, 18, 21221, 0x851a86e9},
    {Kind::Text, 65537, 19, 16456, 0xb41ad162},
    {Kind::Periodic, 140000, 32506, 34330, 0x86b6c214},
    {Kind::Periodic, 140000, 32507, 140025, 0xe6feabca},
    {Kind::Periodic, 100000, 30000, 30873, 0x8927e7c3},
    {Kind::FarTriples, 60000, 20, 59572, 0x213c0389},
    {Kind::Text, 1000, 21, 397, 0x7998f342},
    {Kind::Binary, 3000, 22, 1657, 0x90c417fb},
    {Kind::FewSymbols, 263, 23, 112, 0xd0061b57},
    {Kind::Decoys, 100000, 24, 15351, 0x7c3867d7},
};

TEST(DeflateGolden, EveryStreamKeepsItsBytes) {
  zft::DeflateHarness harness;
  for (const Golden& golden : kGolden) {
    const std::vector<std::uint8_t> input = Generate(golden.kind, golden.size, golden.seed);
    const zft::EntryResult result = harness.Compress(input);
    ASSERT_EQ(result.error, zf::ErrNone);
    std::vector<std::uint8_t> inflated;
    EXPECT_TRUE(zft::ZlibInflate(result.stream, input.size(), &inflated) && inflated == input)
        << "size " << golden.size << " seed " << golden.seed;
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, result.stream.data(), static_cast<uInt>(result.stream.size())));
    EXPECT_EQ(result.stream.size(), golden.streamLength) << "seed " << golden.seed;
    EXPECT_EQ(crc, golden.streamCrc) << "seed " << golden.seed << " got {" << result.stream.size()
                                     << ", 0x" << std::hex << crc << "}";
  }
}

// The deflate bits of the general-purpose flags each level sets.
std::uint16_t FlagBits(std::int32_t level) {
  return level <= 2 ? 0x0004 : level >= 8 ? 0x0002 : 0x0000;
}

// Each level's streams over the inputs above, in their order on one state:
// their total length and the CRC-32 of all of them in a row. Level 8's is
// that of the per-stream pins.
struct LevelPin {
  std::int32_t level;
  std::uint64_t length;
  std::uint32_t crc;
};

constexpr LevelPin kLevelPins[] = {
    {1, 791178, 0x4562a3be}, {2, 780450, 0x32c06890}, {3, 771717, 0xf3ddf1fd},
    {4, 866134, 0x86b6b4d2}, {5, 858132, 0x0f8ea821}, {6, 849349, 0x3e44a388},
    {7, 840036, 0xb5691cf4}, {8, 727606, 0xb962f979}, {9, 710607, 0x90fa5465},
};

TEST(DeflateGolden, EveryLevelKeepsItsBytes) {
  for (const LevelPin& pin : kLevelPins) {
    zft::DeflateHarness harness;
    harness.writer->ownChoices.level = pin.level;
    std::uint64_t length = 0;
    uLong crc = crc32(0, nullptr, 0);
    for (const Golden& golden : kGolden) {
      const std::vector<std::uint8_t> input = Generate(golden.kind, golden.size, golden.seed);
      zft::EntryResult result;
      zft::CompressAndCheck(harness, input, &result, FlagBits(pin.level));
      length += result.stream.size();
      crc = crc32(crc, result.stream.data(), static_cast<uInt>(result.stream.size()));
    }
    EXPECT_EQ(length, pin.length) << "level " << pin.level;
    EXPECT_EQ(crc, pin.crc) << "level " << pin.level << " got {" << std::dec << length << ", 0x"
                            << std::hex << crc << "}";
  }
}

// The fast run's symbols by its rules (compress_fast.cpp), over absolute
// positions with a plain list of positions per bucket and no window, in
// pieces of kRestartBytes parsed each on its own: what the stream must hold.
std::vector<zft::Token> FastRunSymbols(const std::vector<std::uint8_t>& in,
                                       const zf::FastTuning& tuning) {
  const std::uint32_t n = static_cast<std::uint32_t>(in.size());
  // An input shorter than the window is read whole before the parse: its
  // length sets the table's width, one less than its bit width, 10 to 15.
  std::uint32_t bits = 15;
  if (n < zf::kWindowSize) {
    bits = 0;
    while ((n >> (bits + 1)) != 0) ++bits;
    bits = std::clamp(bits, 10u, 15u);
  }
  EXPECT_EQ(bits, zf::TableBits(n < zf::kWindowSize ? n : 0));
  std::vector<std::vector<std::uint32_t>> buckets(std::size_t{1} << bits);
  auto hashAt = [&](std::uint32_t q) {
    const std::uint32_t word = static_cast<std::uint32_t>(in[q]) | in[q + 1] << 8 |
                               in[q + 2] << 16 | static_cast<std::uint32_t>(in[q + 3]) << 24;
    return (word * 0x1E35A7BDu) >> (32 - bits);
  };
  auto enter = [&](std::uint32_t q) {
    std::vector<std::uint32_t>& bucket = buckets[hashAt(q)];
    bucket.insert(bucket.begin(), q);
    if (bucket.size() > tuning.ways) bucket.pop_back();
  };
  std::vector<zft::Token> symbols;
  for (std::uint32_t p = 0; p < n;) {
    const std::uint32_t end = std::min(n, (p / zf::kRestartBytes + 1) * zf::kRestartBytes);
    if (p % zf::kRestartBytes == 0) {
      for (auto& bucket : buckets) bucket.clear();
      symbols.push_back(zft::Lit(in[p]));
      ++p;
      continue;
    }
    const std::uint32_t ahead = end - p;
    std::uint32_t best = 3;
    std::uint32_t source = 0;
    if (ahead >= 4) {
      const std::uint32_t most = std::min(ahead, zf::kLongestMatch);
      const std::uint32_t stop = std::min<std::uint32_t>(tuning.niceLength, most);
      for (const std::uint32_t m : buckets[hashAt(p)]) {
        if (m == 0 || p - m > zf::kFarthestDistance) break;
        std::uint32_t length = 0;
        while (length < most && in[m + length] == in[p + length]) ++length;
        if (length >= 4 && length > best) {
          best = length;
          source = m;
          if (best >= stop) break;
        }
      }
      enter(p);
    }
    if (best >= 4) {
      symbols.push_back(
          zft::Match(static_cast<std::uint16_t>(best), static_cast<std::uint16_t>(p - source)));
      if (best <= tuning.insertLimit) {
        for (std::uint32_t q = p + 1; q < p + best && end - q >= 4; ++q) enter(q);
      }
      p += best;
    } else {
      symbols.push_back(zft::Lit(in[p]));
      ++p;
    }
  }
  return symbols;
}

TEST(DeflateGolden, FastRunSendsWhatItsRulesGive) {
  const std::pair<Kind, std::size_t> inputs[] = {
      {Kind::Text, 64000},       {Kind::Binary, 50000}, {Kind::Runs, 30000},
      {Kind::FewSymbols, 40000}, {Kind::Decoys, 60000}, {Kind::Binary, 65000},
      {Kind::Text, 20000},       {Kind::Text, 200},     {Kind::Text, 2200000},
  };
  for (std::int32_t level = 1; level <= zf::kLastFastLevel; ++level) {
    zft::DeflateHarness harness;
    harness.writer->ownChoices.level = level;
    std::uint32_t seed = 300;
    for (const auto& [kind, size] : inputs) {
      const std::vector<std::uint8_t> input = Generate(kind, size, ++seed);
      const zft::Decoded decoded = zft::CompressAndCheck(harness, input, nullptr, FlagBits(level));
      EXPECT_TRUE(decoded.tokens == FastRunSymbols(input, zf::kFastTuning[level]))
          << "level " << level << " seed " << seed;
      // A block of the fast run ends when its buffers are full or after a
      // whole step of the split by statistics. (No input here makes a
      // stored block.)
      for (std::size_t b = 0; b + 1 < decoded.blocks.size(); ++b) {
        const std::size_t count = decoded.blocks[b].tokenCount;
        EXPECT_TRUE(count == zf::kFastBlockSymbols || count % zf::kSplitStep == 0)
            << "level " << level << " seed " << seed << " block " << b << ": " << count;
      }
    }
  }
}

// After each entry, walks start from sampled window positions with a range
// of budgets. Each must visit exactly the positions a hash chain holds by
// definition: the start, then every earlier position of this entry still in
// the window (position 0 counts as none) whose first three bytes hash
// alike, nearest first, while above the limit of a search at the last
// entered position and within the budget. The entries leave slides, long
// chains and stale slots of earlier entries behind. Both forms of the chains
// are walked: the steps of level 8 over three-byte hashes and the links of
// level 4 over four-byte ones (the lazy run enters every position at either).
TEST(DeflateGolden, ChainWalksVisitExactlyTheHashChain) {
  const std::pair<Kind, std::size_t> entries[] = {
      {Kind::Text, 200000},      {Kind::FewSymbols, 150000}, {Kind::Text, 5000},
      {Kind::Binary, 70000},     {Kind::Runs, 90000},        {Kind::Decoys, 40000},
      {Kind::FewSymbols, 33000}, {Kind::Text, 65700},        {Kind::Binary, 98600},
  };
  const std::uint32_t budgets[] = {1, 2, 3, 8, 9, 10, 16, 17, 255, 256, 1024};
  for (const std::int32_t level : {8, 4}) {
    zft::DeflateHarness harness;
    harness.writer->ownChoices.level = level;
    std::uint32_t seed = 100;
    for (const auto& [kind, size] : entries) {
      ASSERT_EQ(harness.Compress(Generate(kind, size, ++seed)).error, zf::ErrNone);
      const zf::DeflateState* state = harness.writer->current.deflater;
      const std::uint8_t* window = state->slidingWindow;
      const bool middle = zf::UsesMiddleChains(static_cast<std::uint8_t>(level));
      const std::uint32_t last =
          state->scanPosition - (middle ? zf::kMiddleMatch : zf::kShortestMatch);
      const std::uint32_t limit = last > zf::kFarthestDistance ? last - zf::kFarthestDistance : 0;
      const std::uint32_t shift = state->middle.headShift;
      auto hashAt = [window, middle, shift](std::uint32_t p) -> std::uint32_t {
        if (middle) return zf::FourHash(zf::LittleWord(window + p), shift);
        return ((window[p] << 10) ^ (window[p + 1] << 5) ^ window[p + 2]) & zf::kHashMask;
      };
      std::vector<std::vector<std::uint32_t>> chains(zf::kHashSize);
      for (std::uint32_t p = 1; p <= last; ++p) chains[hashAt(p)].push_back(p);

      // Densest just above the limit, where chains meet what left the window.
      for (std::uint32_t start = std::max(limit, 1u); start <= last;
           start += start < limit + 3000 ? 7 : 101) {
        const std::vector<std::uint32_t>& chain = chains[hashAt(start)];
        const auto at = std::lower_bound(chain.begin(), chain.end(), start) - chain.begin();
        for (const std::uint32_t budget : budgets) {
          std::vector<std::uint32_t> expected{start};
          for (auto k = at - 1;
               k >= 0 && chain[static_cast<std::size_t>(k)] > limit && expected.size() < budget;
               --k) {
            expected.push_back(chain[static_cast<std::size_t>(k)]);
          }
          std::vector<std::uint32_t> visited;
          auto visit = [&visited](std::uint32_t m) {
            visited.push_back(m);
            return false;
          };
          if (middle) {
            zf::WalkLinks(state->middle.links, start, limit, budget, visit);
          } else {
            zf::WalkChain(state->chainSteps, start, limit, budget, visit);
          }
          ASSERT_EQ(visited, expected) << "level " << level << " entry " << seed << " start "
                                       << start << " budget " << budget;
        }
      }
    }
  }
}

}  // namespace

// The search of levels 4 to 7 against its definition: at sampled positions
// of entries that fit in one window (so that no slot was written twice and
// every search reads what it read in the run), the longest match of four bytes or more among
// the first budget positions of the four-byte chain (nearest first, above
// the limit), the nearest of equally long ones, or none.
TEST(DeflateGolden, MiddleSearchFindsTheLongestOnTheChain) {
  const std::pair<Kind, std::size_t> entries[] = {
      {Kind::Text, 32000}, {Kind::Binary, 30000}, {Kind::Runs, 32768}, {Kind::Decoys, 20000}};
  zft::DeflateHarness harness;
  harness.writer->ownChoices.level = 6;
  std::uint32_t seed = 300;
  for (const auto& [kind, size] : entries) {
    ASSERT_EQ(harness.Compress(Generate(kind, size, ++seed)).error, zf::ErrNone);
    const zf::DeflateState* state = harness.writer->current.deflater;
    const std::uint8_t* window = state->slidingWindow;
    const std::uint32_t last = state->scanPosition - zf::kMiddleMatch;
    for (std::uint32_t p = 1; p + zf::kLongestMatch <= last; p += 7) {
      const std::uint32_t limit = p > zf::kFarthestDistance ? p - zf::kFarthestDistance : 0;
      const std::uint32_t shift = state->middle.headShift;
      const std::uint32_t hash = zf::FourHash(zf::LittleWord(window + p), shift);
      for (const std::uint32_t budget : {1u, 5u, 36u}) {
        std::uint32_t expectedLength = 3;
        std::uint32_t expectedPosition = 0;
        std::uint32_t visited = 0;
        for (std::uint32_t m = p - 1; m > limit && visited < budget; --m) {
          if (zf::FourHash(zf::LittleWord(window + m), shift) != hash) continue;
          ++visited;
          std::uint32_t length = 0;
          while (length < zf::kLongestMatch && window[m + length] == window[p + length]) ++length;
          if (length > expectedLength) {
            expectedLength = length;
            expectedPosition = m;
            if (length == zf::kLongestMatch) break;
          }
        }
        std::uint32_t position = 0;
        const std::uint32_t length =
            zf::SearchMiddle(window, &state->middle, p, 3, budget, zf::kLongestMatch, &position);
        ASSERT_EQ(length, expectedLength) << "entry " << seed << " p " << p << " budget " << budget;
        ASSERT_EQ(position, expectedPosition) << "entry " << seed << " p " << p;
      }
    }
  }
}
