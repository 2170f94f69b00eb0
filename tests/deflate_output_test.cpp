// The bit writer, the choice of block form, and failures of the output and
// of the source: nothing is ever stored past the output buffer, and the next
// entry is compressed correctly after one that failed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "deflate_test_helpers.h"

namespace {

using zft::DeflateHarness;

TEST(DeflateBits, BitsLeaveInPairsOfBytesLeastSignificantFirst) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  const std::uint64_t start = harness.writer->position;

  EXPECT_EQ(zf::PutBits(state, 0x5, 3), 1);
  EXPECT_EQ(zf::PutBits(state, 0x1ABC, 13), 1);
  EXPECT_EQ(state->outFill, 0u);  // exactly 16 bits stay pending
  EXPECT_EQ(zf::PutBits(state, 0x1, 1), 1);
  EXPECT_EQ(state->outFill, 2u);  // and leave with the next call
  EXPECT_EQ(state->bitCount, 1);
  EXPECT_EQ(zf::PutBits(state, 0x7F, 7), 1);
  zf::AlignOutput(state);
  // 101 | 1 1010 1011 1100 (low bit first) | 1 | 111 1111, zero padded.
  EXPECT_EQ(zft::OutputSince(harness, start), (std::vector<std::uint8_t>{0xE5, 0xD5, 0xFF}));
  EXPECT_EQ(state->outFill, 0u);
  EXPECT_EQ(state->bitCount, 0);
}

TEST(DeflateBits, AFullBufferGoesOutBeforeTheNextPair) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  const std::uint64_t start = harness.writer->position;
  while (state->outFill < zf::kBufferBytes) zf::PutBits(state, 0xA5, 8);
  EXPECT_EQ(harness.writer->position, start);
  zf::PutBits(state, 0xA5, 8);
  EXPECT_EQ(harness.writer->position, start);  // 16 bits pending need no room yet
  zf::PutBits(state, 0xA5, 8);
  EXPECT_EQ(harness.writer->position, start + zf::kBufferBytes);
  EXPECT_EQ(state->outFill, 2u);
  EXPECT_EQ(zft::OutputSince(harness, start), std::vector<std::uint8_t>(zf::kBufferBytes, 0xA5));
  zf::AlignOutput(state);
}

// Records the same literals into a fresh block and asks for its sizes as
// FinishBlock would see them, in bytes with the header.
struct BlockSizes {
  std::uint32_t fixed;
  std::uint32_t dynamic;
};

void RecordLiterals(zf::DeflateState* state, const std::string& text) {
  for (char c : text) zf::RecordSymbol(state, 0, static_cast<std::uint8_t>(c));
}

BlockSizes SizesOf(zf::DeflateState* state, const std::string& text) {
  zf::ResetBlock(state);
  RecordLiterals(state, text);
  zf::BuildHuffmanTree(state, &state->literalDesc);
  zf::BuildHuffmanTree(state, &state->distanceDesc);
  zf::BuildLengthTree(state);
  const BlockSizes sizes{(state->fixedBlockBits + 10) >> 3, (state->dynamicBlockBits + 10) >> 3};
  zf::ResetBlock(state);
  return sizes;
}

// Sends text as the last block and returns its type, checking that the
// compressed size is what was written.
int FinishAs(DeflateHarness& harness, const std::string& text, std::uint32_t storedLength,
             bool dataPresent) {
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);
  const std::uint64_t start = harness.writer->position;
  std::memcpy(state->slidingWindow, text.data(), text.size());
  RecordLiterals(state, text);
  zf::FinishBlock(state, dataPresent ? state->slidingWindow : nullptr, storedLength, 1);
  const std::vector<std::uint8_t> stream = zft::OutputSince(harness, start);
  EXPECT_EQ(zf::DeflatedBytes(state), stream.size());
  const zft::Decoded decoded = zft::DecodeDeflate(stream);
  EXPECT_TRUE(decoded.ok) << decoded.failure;
  if (decoded.blocks.size() != 1) return -1;
  if (decoded.blocks[0].type != 0) {
    EXPECT_EQ(decoded.bytes, std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  return decoded.blocks[0].type;
}

TEST(DeflateBlocks, TheSmallestFormWinsAndTiesGoToTheSimplerOne) {
  DeflateHarness harness;
  zf::ZipEntry entry{};
  zf::DeflateState* state = zft::BlockState(harness, &entry);

  // Runs of one letter: fixed codes win while short, dynamic ones once the
  // one-bit code pays for the header. Somewhere between, both take as many
  // bytes, and then the fixed form is chosen.
  int tie = 0, dynamicWins = 0;
  for (int n = 1; n < 400 && (tie == 0 || dynamicWins == 0); ++n) {
    const BlockSizes sizes = SizesOf(state, std::string(static_cast<std::size_t>(n), 'e'));
    if (sizes.fixed == sizes.dynamic && tie == 0) tie = n;
    if (sizes.dynamic < sizes.fixed && dynamicWins == 0) dynamicWins = n;
  }
  ASSERT_NE(tie, 0);
  ASSERT_NE(dynamicWins, 0);
  EXPECT_EQ(FinishAs(harness, std::string(static_cast<std::size_t>(tie), 'e'), 100000, true), 1);
  EXPECT_EQ(
      FinishAs(harness, std::string(static_cast<std::size_t>(dynamicWins), 'e'), 100000, true), 2);

  // Stored when its length plus 4 is at most the best coded size.
  const std::string text = "a block that is stored when it pays";
  const BlockSizes sizes = SizesOf(state, text);
  const std::uint32_t best = std::min(sizes.fixed, sizes.dynamic);
  EXPECT_EQ(FinishAs(harness, text, best - 4, true), 0);
  EXPECT_EQ(FinishAs(harness, text, best - 3, true), sizes.fixed == best ? 1 : 2);
  // Never when the block's bytes have left the window.
  EXPECT_EQ(FinishAs(harness, text, 0, false), sizes.fixed == best ? 1 : 2);
}

TEST(DeflateBlocks, DynamicBlocksAreChosenOnlyWhenSmallerThanFixed) {
  // The fixed size of every coded block, counted here from its symbols,
  // against the form the compressor chose.
  std::vector<std::uint8_t> input;
  for (int i = 0; i < 40; ++i) {
    zft::Append(&input, zft::RandomBytes(static_cast<std::size_t>(50 + 37 * i),
                                         static_cast<std::uint32_t>(i)));
    zft::Append(&input, std::string(static_cast<std::size_t>(10 + i * 13),
                                    static_cast<char>('a' + i % 26)));
    zft::Append(&input, std::string("int main(void) { return 0; }\n"));
  }
  DeflateHarness harness;
  const zft::Decoded decoded = zft::CompressAndCheck(harness, input);
  std::size_t coded = 0;
  for (const auto& block : decoded.blocks) {
    if (block.type == 0) continue;
    std::size_t fixedBits = 3 + 7;
    for (std::size_t t = block.firstToken; t < block.firstToken + block.tokenCount; ++t) {
      const zft::Token& token = decoded.tokens[t];
      if (token.length == 0) {
        fixedBits += token.literal < 144 ? 8 : 9;
        continue;
      }
      int c = 0;
      while (c < 28 && zft::detail::kLengthBase[c + 1] <= token.length) ++c;
      fixedBits += (c < 23 ? 7 : 8) + static_cast<std::size_t>(zft::detail::kLengthExtra[c]);
      int e = 0;
      while (e < 29 && zft::detail::kDistBase[e + 1] <= token.distance) ++e;
      fixedBits += 5 + static_cast<std::size_t>(zft::detail::kDistExtra[e]);
    }
    if (block.type == 1) {
      EXPECT_EQ(block.bitLength, fixedBits);
    } else {
      EXPECT_LT((block.bitLength + 7) / 8, (fixedBits + 7) / 8);
    }
    ++coded;
  }
  EXPECT_GT(coded, 0u);
}

// An input whose stream has stored and coded blocks and is longer than
// several output buffers.
std::vector<std::uint8_t> MixedInput() {
  std::vector<std::uint8_t> input;
  for (int round = 0; round < 2; ++round) {
    zft::Append(&input, zft::RandomBytes(40000, static_cast<std::uint32_t>(round)));
    for (int i = 0; i < 3000; ++i) {
      zft::Append(&input, "line " + std::to_string(i * round) + " of text\n");
    }
    zft::Append(&input, std::string("short"));
  }
  return input;
}

TEST(DeflateFailures, AFailedWriteStopsTheEntryAndTheNextOneIsWhole) {
  const std::vector<std::uint8_t> input = MixedInput();
  DeflateHarness reference;
  zft::EntryResult whole{};
  zft::CompressAndCheck(reference, input, &whole);
  ASSERT_GT(whole.stream.size(), 3 * zf::kBufferBytes);

  // Output limits everywhere in the stream, and around each buffer's end.
  std::vector<std::uint64_t> limits;
  for (std::uint64_t k = 0; k < whole.stream.size(); k += whole.stream.size() / 13) {
    limits.push_back(k);
  }
  for (std::uint64_t b = zf::kBufferBytes; b < whole.stream.size(); b += zf::kBufferBytes) {
    for (std::uint64_t d : {b - 5, b - 4, b - 1, b, b + 1, b + 4}) limits.push_back(d);
  }
  limits.push_back(whole.stream.size() - 1);

  DeflateHarness harness;
  for (const std::uint64_t limit : limits) {
    const std::uint64_t start = harness.writer->position;
    harness.outputLimit = start + limit;
    const zft::EntryResult failed = harness.Compress(input);
    EXPECT_NE(failed.error, zf::ErrNone) << "limit " << limit;
    EXPECT_LE(failed.stream.size(), limit);
    EXPECT_TRUE(std::equal(failed.stream.begin(), failed.stream.end(), whole.stream.begin()));
    EXPECT_TRUE(harness.CanaryIntact()) << "limit " << limit;
    EXPECT_LE(harness.writer->current.deflater->outFill, zf::kBufferBytes);

    harness.outputLimit = zft::kNoFileSizeLimit;
    zft::EntryResult next{};
    zft::CompressAndCheck(harness, input, &next);
    EXPECT_EQ(next.stream, whole.stream) << "after limit " << limit;
  }
}

TEST(DeflateFailures, NothingIsStoredPastAFullBufferWhoseWriteFailed) {
  DeflateHarness harness;
  for (int form = 0; form < 3; ++form) {
    zf::ZipEntry entry{};
    zf::DeflateState* state = zft::BlockState(harness, &entry);
    // A full buffer, bits pending, and an output that refuses everything.
    while (state->outFill < zf::kBufferBytes || state->bitCount < 12) {
      zf::PutBits(state, 0x2AAA, 15);
    }
    // The writer's own buffer is full too, and its output refuses: the next
    // bytes handed to it fail at once.
    const zf::OutputSink file = harness.writer->sink;
    harness.writer->sink =
        zf::FunctionSink([](void*, const std::uint8_t*, std::uint32_t) { return false; }, nullptr);
    harness.writer->outFill = zf::kOutputBufferBytes;
    const std::string text = form == 2 ? std::string(3000, 'e') : "some text";
    std::memcpy(state->slidingWindow, text.data(), text.size());
    RecordLiterals(state, text);
    const std::uint32_t stored = form == 0 ? 0 : 100000;  // stored, or coded
    zf::FinishBlock(state, state->slidingWindow, stored, 1);
    EXPECT_NE(harness.writer->failure.code, zf::ErrNone);
    EXPECT_TRUE(harness.CanaryIntact()) << "form " << form;
    EXPECT_LE(state->outFill, zf::kBufferBytes);
    EXPECT_TRUE(state->failed);
    // Nothing asked of the bit writer now enters the buffer.
    std::memset(harness.writer->buffer, 0x5A, zf::kBufferBytes);
    zf::PutBits(state, 0x7FFF, 15);
    EXPECT_EQ(zf::PutBits(state, 0x7FFF, 15), 0);
    zf::AlignOutput(state);
    zf::EmitStoredBlock(state, state->slidingWindow, 10);
    EXPECT_EQ(std::vector<std::uint8_t>(harness.writer->buffer,
                                        harness.writer->buffer + zf::kBufferBytes),
              std::vector<std::uint8_t>(zf::kBufferBytes, 0x5A));
    EXPECT_TRUE(harness.CanaryIntact());
    harness.writer->sink = file;
    harness.writer->outFill = 0;
  }
  zft::CompressAndCheck(harness, MixedInput());
}

TEST(DeflateFailures, AnUnreadableSourceWritesNothing) {
  DeflateHarness harness;
  const int folder = open(harness.dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  const zft::EntryResult result = harness.RunOn(folder);
  close(folder);
  EXPECT_EQ(result.error, zf::ErrRead);
  EXPECT_TRUE(result.stream.empty());
  zft::CompressAndCheck(harness, MixedInput());
}

TEST(DeflateFailures, AReadErrorMidwayStopsWithoutALastBlock) {
  // A non-blocking pipe holding one window's worth: the first read fills
  // the window, the refill finds the pipe empty and fails.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  ASSERT_EQ(fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK), 0);
  std::vector<std::uint8_t> head;
  while (head.size() < 65536) zft::Append(&head, "some words of a text that repeats, ");
  head.resize(65536);
  ASSERT_EQ(write(pipeEnds[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));

  DeflateHarness harness;
  const zft::EntryResult result = harness.RunOn(pipeEnds[0]);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  EXPECT_EQ(result.error, zf::ErrRead);
  EXPECT_EQ(result.bytesRead, 65536u);
  EXPECT_FALSE(zft::DecodeDeflate(result.stream).ok) << "a last block was written";
  zft::CompressAndCheck(harness, MixedInput());
}

// Where the data changes (letters, then bytes of the upper half), every
// level but the default ends a block within two steps of the change, and
// the default keeps the blocks it always made.
TEST(DeflateBlocks, EveryLevelButTheDefaultEndsABlockWhereTheDataChanges) {
  constexpr std::size_t kHalf = 20000;
  std::vector<std::uint8_t> input = zft::RandomBytes(2 * kHalf, 41);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = static_cast<std::uint8_t>(i < kHalf ? 'a' + input[i] % 26 : 0x80 | input[i]);
  }
  for (const std::int32_t level : {1, 3, 4, 6, 8, 9}) {
    DeflateHarness harness;
    harness.writer->ownChoices.level = level;
    const zft::Decoded decoded = zft::CompressAndCheck(harness, input, nullptr,
                                                       level <= 2   ? 0x0004
                                                       : level >= 8 ? 0x0002
                                                                    : 0);
    std::size_t change = 0;  // the first symbol of the second half
    for (std::size_t bytes = 0; bytes < kHalf; ++change) {
      bytes += decoded.tokens[change].length == 0 ? 1 : decoded.tokens[change].length;
    }
    bool endsNearChange = false;
    for (const zft::DecodedBlock& block : decoded.blocks) {
      endsNearChange = endsNearChange || (block.firstToken + 64 > change &&
                                          block.firstToken <= change + 2 * zf::kSplitStep);
    }
    EXPECT_EQ(endsNearChange, level != 8) << "level " << level << " change at symbol " << change;
  }
}

}  // namespace
