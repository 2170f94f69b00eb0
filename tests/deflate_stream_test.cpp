// Whole entries through DeflateEntry: every stream inflates to its input with
// zlib and with our own decoder, and the symbols and blocks are the ones the
// match search and the block ends call for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "deflate_test_helpers.h"

namespace {

using zft::Append;
using zft::CompressAndCheck;
using zft::Decoded;
using zft::DeflateHarness;
using zft::Lit;
using zft::Match;
using zft::Token;
using zft::Unrepeated;

std::vector<std::uint8_t> Text(std::size_t size) {
  static const char* words[] = {"the ",     "archive ", "folder ", "writer ", "entry ",
                                "deflate ", "block ",   "tree ",   "window ", "match\n",
                                "size ",    "of ",      "a ",      "header ", "(int) "};
  std::vector<std::uint8_t> text;
  std::uint32_t x = 12345;
  while (text.size() < size) {
    x = x * 1103515245u + 12345u;
    Append(&text, std::string(words[(x >> 16) % 15]));
  }
  text.resize(size);
  return text;
}

// Like machine code: short repeats among noise.
std::vector<std::uint8_t> BinaryLike(std::size_t size) {
  std::vector<std::uint8_t> bytes = zft::RandomBytes(size, 77);
  for (std::size_t i = 0; i + 8 < size; i += 13) {
    bytes[i] = 0x48;
    bytes[i + 1] = 0x8B;
    bytes[i + 2] = static_cast<std::uint8_t>(i % 7);
    bytes[i + 3] = 0;
  }
  return bytes;
}

// Symbols drawn with the probabilities the fixed codes are made for, and
// sent as such: literals 0-143 twice as often as 144-255, length codes 0-22
// twice as often as 23-28, all distance codes alike. Blocks of them are
// smallest with the fixed codes.
std::vector<std::uint8_t> FixedShaped(std::size_t size, std::uint32_t seed) {
  static constexpr int kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                          15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
  std::vector<std::uint8_t> out = zft::RandomBytes(64, seed);
  std::uint32_t x = seed * 2654435761u + 1;
  auto next = [&x](std::uint32_t bound) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x % bound;
  };
  while (out.size() < size) {
    if (next(100) >= 20) {
      const std::uint32_t r = next(400);
      out.push_back(static_cast<std::uint8_t>(r < 288 ? r / 2 : 144 + (r - 288)));
      continue;
    }
    const std::uint32_t r = next(52);
    const std::uint32_t c = r < 46 ? r / 2 : 23 + (r - 46);
    const int low = kLengthBase[c];
    const int high = c == 28 ? 258 : kLengthBase[c + 1] - 1;
    const auto length = static_cast<std::size_t>(
        low + static_cast<int>(next(static_cast<std::uint32_t>(high - low + 1))));
    const std::size_t reach = std::min<std::size_t>(out.size(), length == 3 ? 4096 : 32506);
    // A distance code at random among those within reach, then a distance in it.
    std::uint32_t codes = 0;
    while (codes < 30 && zft::detail::kDistBase[codes] <= static_cast<int>(reach)) ++codes;
    const std::uint32_t e = next(codes);
    const auto first = static_cast<std::size_t>(zft::detail::kDistBase[e]);
    const std::size_t last =
        std::min<std::size_t>(reach, first + (1u << zft::detail::kDistExtra[e]) - 1);
    const std::size_t distance = first + next(static_cast<std::uint32_t>(last - first + 1));
    for (std::size_t k = 0; k < length; ++k) out.push_back(out[out.size() - distance]);
  }
  out.resize(size);
  return out;
}

std::size_t CountType(const Decoded& decoded, int type) {
  std::size_t n = 0;
  for (const auto& block : decoded.blocks) n += block.type == type ? 1 : 0;
  return n;
}

TEST(DeflateStream, EmptySourceIsOneFixedBlockOfTwoBytes) {
  DeflateHarness harness;
  zft::EntryResult result{};
  const Decoded decoded = CompressAndCheck(harness, {}, &result);
  EXPECT_EQ(result.stream, (std::vector<std::uint8_t>{0x03, 0x00}));
  EXPECT_EQ(result.compressedSize, 2u);
  EXPECT_EQ(result.internalAttributes, 1u);  // nothing but the end of block: text
}

TEST(DeflateStream, OneAndTwoBytesAreLiterals) {
  DeflateHarness harness;
  for (const std::vector<std::uint8_t>& input :
       {std::vector<std::uint8_t>{'x'}, std::vector<std::uint8_t>{0, 0},
        std::vector<std::uint8_t>{0xFF, 0xFF}, std::vector<std::uint8_t>{'a', 'b', 'a'}}) {
    const Decoded decoded = CompressAndCheck(harness, input);
    ASSERT_EQ(decoded.tokens.size(), input.size());
    for (std::size_t i = 0; i < input.size(); ++i) EXPECT_EQ(decoded.tokens[i], Lit(input[i]));
  }
}

TEST(DeflateStream, ThousandEqualBytesAreTwoLiteralsAndFourMatches) {
  DeflateHarness harness;
  const Decoded decoded = CompressAndCheck(harness, std::vector<std::uint8_t>(1000, 'a'));
  const std::vector<Token> expected = {Lit('a'),      Lit('a'),      Match(258, 1),
                                       Match(258, 1), Match(258, 1), Match(224, 1)};
  EXPECT_EQ(decoded.tokens, expected);
}

// "ABCDEFGHIJ" once at position 1 and again `distance` bytes later, with
// bytes around and between in which nothing else repeats.
std::vector<std::uint8_t> RepeatAt(std::size_t distance, std::size_t patternLength) {
  const std::vector<std::uint8_t> pattern({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'});
  std::vector<std::uint8_t> input{0xE0};
  const std::vector<std::uint8_t> head(
      pattern.begin(), pattern.begin() + static_cast<std::ptrdiff_t>(patternLength));
  Append(&input, head);
  Append(&input, Unrepeated(0x1000, distance - patternLength));
  Append(&input, head);
  input.push_back(0xE1);
  Append(&input, Unrepeated(0x6000, 64));
  return input;
}

// The matches of the stream that start at or after input position from.
std::vector<Token> MatchesOf(const Decoded& decoded, std::size_t from = 0) {
  std::vector<Token> matches;
  std::size_t position = 0;
  for (const Token& t : decoded.tokens) {
    if (t.length != 0 && position >= from) matches.push_back(t);
    position += t.length != 0 ? t.length : 1;
  }
  return matches;
}

TEST(DeflateStream, FarThreeByteMatchesAreSentAsLiterals) {
  DeflateHarness harness;
  EXPECT_EQ(MatchesOf(CompressAndCheck(harness, RepeatAt(4096, 3))),
            std::vector<Token>{Match(3, 4096)});
  EXPECT_TRUE(MatchesOf(CompressAndCheck(harness, RepeatAt(4097, 3))).empty());
  // Longer matches are used at any distance within reach.
  EXPECT_EQ(MatchesOf(CompressAndCheck(harness, RepeatAt(4097, 4))),
            std::vector<Token>{Match(4, 4097)});
}

TEST(DeflateStream, NoMatchReachesBeyond32506Bytes) {
  DeflateHarness harness;
  // At 32,506 bytes a match is found when the oldest position is the
  // chain's head (here for "FGHIJ", while earlier strings share a chain
  // with later positions); one byte farther nothing is.
  for (const Token& match : MatchesOf(CompressAndCheck(harness, RepeatAt(32506, 10)))) {
    EXPECT_EQ(match.distance, 32506);
  }
  EXPECT_FALSE(MatchesOf(CompressAndCheck(harness, RepeatAt(32506, 10))).empty());
  EXPECT_TRUE(MatchesOf(CompressAndCheck(harness, RepeatAt(32507, 10))).empty());
}

TEST(DeflateStream, LazyTieKeepsTheEarlierMatch) {
  // At the third "A" the match "ABCDE" is 5 long; one byte on, "BCDEF" is
  // also 5 long (tie: the deferred match is sent), or 6 long with "BCDEFG"
  // (the earlier position becomes a literal). The second string's own
  // "BCDE" is a match too, before the part that matters.
  for (const bool longer : {false, true}) {
    std::vector<std::uint8_t> input{0xE0};
    Append(&input, std::string("ABCDE"));
    Append(&input, Unrepeated(0x1000, 20));
    Append(&input, std::string(longer ? "BCDEFG" : "BCDEF"));
    Append(&input, Unrepeated(0x2000, 20));
    const std::size_t third = input.size();
    Append(&input, std::string("ABCDEFG"));
    Append(&input, Unrepeated(0x3000, 20));

    DeflateHarness harness;
    const Decoded decoded = CompressAndCheck(harness, input);
    const std::size_t second = 1 + 5 + 20;
    if (!longer) {
      EXPECT_EQ(MatchesOf(decoded, third),
                (std::vector<Token>{Match(5, static_cast<std::uint16_t>(third - 1))}));
    } else {
      EXPECT_EQ(MatchesOf(decoded, third),
                (std::vector<Token>{Match(6, static_cast<std::uint16_t>(third + 1 - second))}));
    }
  }
}

TEST(DeflateStream, VariedInputsInflateToThemselves) {
  DeflateHarness harness;
  const std::vector<std::vector<std::uint8_t>> inputs = {
      Text(100),
      Text(70000),
      BinaryLike(50000),
      std::vector<std::uint8_t>(300000, 0),
      zft::RandomBytes(3, 1),
      zft::RandomBytes(262, 2),
      Unrepeated(0, 5000),
  };
  for (const auto& input : inputs) CompressAndCheck(harness, input);
  // The text of an entry decides its internal attributes.
  zft::EntryResult result{};
  CompressAndCheck(harness, Text(5000), &result);
  EXPECT_EQ(result.internalAttributes, 1u);
  CompressAndCheck(harness, zft::RandomBytes(5000, 3), &result);
  EXPECT_EQ(result.internalAttributes, 0u);
}

TEST(DeflateStream, IncompressibleDataGoesOutInStoredBlocks) {
  DeflateHarness harness;
  const std::vector<std::uint8_t> input = zft::RandomBytes(0x1234, 9);
  zft::EntryResult result{};
  CompressAndCheck(harness, input, &result);
  // Header bits 1,00 padded to a byte, then LEN and NLEN, then the data.
  std::vector<std::uint8_t> expected{0x01, 0x34, 0x12, 0xCB, 0xED};
  Append(&expected, input);
  EXPECT_EQ(result.stream, expected);

  // Noise stays within a few bytes per block of its size.
  zft::EntryResult big{};
  const Decoded decoded = CompressAndCheck(harness, zft::RandomBytes(1 << 20, 10), &big);
  EXPECT_GT(CountType(decoded, 0), decoded.blocks.size() / 2);
  EXPECT_LT(big.compressedSize, (1u << 20) + 40 * decoded.blocks.size());
}

TEST(DeflateStream, WindowSlidesFromTheFirstByteAfter65273) {
  DeflateHarness harness;
  // Sizes around the slide point, with a repeat that spans it, and inputs
  // whose early blocks slide out of the window before they end.
  for (const std::size_t size : {65273u, 65274u, 65275u, 65536u, 65537u, 98304u}) {
    std::vector<std::uint8_t> input = Text(size);
    for (std::size_t i = 30000; i < 33000 && i < size; ++i) {
      input[i] = static_cast<std::uint8_t>(i * 7);
    }
    CompressAndCheck(harness, input);
  }
  std::vector<std::uint8_t> noisy = zft::RandomBytes(200000, 4);
  for (std::size_t i = 0; i + 100 < noisy.size(); i += 400) {
    std::fill_n(noisy.begin() + static_cast<std::ptrdiff_t>(i), 100, 'z');
  }
  CompressAndCheck(harness, noisy);
}

TEST(DeflateStream, SeveralMegabytesUseEveryBlockTypeAndBothBlockEnds) {
  // Text, noise, runs and short-repeat binary in turns, so blocks of each
  // type occur, and blocks end both early (a multiple of 4,096 symbols) and
  // with a full symbol buffer (32,767).
  std::vector<std::uint8_t> input;
  for (int round = 0; round < 3; ++round) {
    Append(&input, Text(400000));
    Append(&input, zft::RandomBytes(150000, static_cast<std::uint32_t>(round)));
    Append(&input, std::vector<std::uint8_t>(100000, static_cast<std::uint8_t>(round)));
    Append(&input, BinaryLike(300000));
    std::vector<std::uint8_t> shortRepeats =
        zft::RandomBytes(200000, 50u + static_cast<std::uint32_t>(round));
    for (auto& b : shortRepeats) b &= 0x03;
    Append(&input, shortRepeats);
    Append(&input, FixedShaped(200000, 60u + static_cast<std::uint32_t>(round)));
  }
  DeflateHarness harness;
  const Decoded decoded = CompressAndCheck(harness, input);
  EXPECT_GT(CountType(decoded, 0), 0u);
  EXPECT_GT(CountType(decoded, 1), 0u);
  EXPECT_GT(CountType(decoded, 2), 0u);
  std::size_t early = 0, full = 0;
  for (std::size_t b = 0; b + 1 < decoded.blocks.size(); ++b) {
    const auto& block = decoded.blocks[b];
    if (block.type == 0) continue;
    EXPECT_LE(block.tokenCount, 32767u);
    if (block.tokenCount == 32767) {
      ++full;
    } else {
      EXPECT_EQ(block.tokenCount % 4096, 0u) << "block " << b << " ended for no reason";
      ++early;
    }
  }
  EXPECT_GT(early, 0u);
  EXPECT_GT(full, 0u);
}

TEST(DeflateStream, SameEntriesGiveTheSameBytes) {
  // Near its end an entry's match search reads window bytes past its input,
  // left there by earlier entries (or zero in a new state), so the same
  // sequence of entries must give the same bytes every time.
  const std::vector<std::vector<std::uint8_t>> entries = {
      Text(3000), BinaryLike(1000), Text(70000), std::vector<std::uint8_t>(500, 'q'), Text(2000)};
  DeflateHarness first;
  DeflateHarness second;
  for (const auto& input : entries) {
    EXPECT_EQ(CompressAndCheck(first, input).tokens, CompressAndCheck(second, input).tokens);
    EXPECT_EQ(first.writer->position, second.writer->position);
  }
  EXPECT_EQ(zft::ReadFile(first.outputPath), zft::ReadFile(second.outputPath));
}

TEST(DeflateStream, OneStateServesEveryEntryOfAnArchive) {
  // Inputs that fill the window hold nothing of earlier entries, so they
  // give the same bytes whatever came before.
  const std::vector<std::uint8_t> a = Text(150000);
  const std::vector<std::uint8_t> b = BinaryLike(90000);
  DeflateHarness first;
  zft::EntryResult a1{}, b1{}, a2{};
  CompressAndCheck(first, a, &a1);
  const zf::DeflateState* state = first.writer->current.deflater;
  ASSERT_NE(state, nullptr);
  CompressAndCheck(first, b, &b1);
  CompressAndCheck(first, {});
  CompressAndCheck(first, a, &a2);
  EXPECT_EQ(first.writer->current.deflater, state);
  EXPECT_EQ(a1.stream, a2.stream);

  DeflateHarness second;
  second.Compress(zft::RandomBytes(70000, 8));
  EXPECT_EQ(second.Compress(b).stream, b1.stream);
  EXPECT_EQ(second.Compress(a).stream, a1.stream);
}

}  // namespace
