// Level 9 restarts at fixed input offsets so that its pieces can be parsed
// apart: each piece parsed alone from its own bytes, its symbols sent in
// order by a state that only reads and sends, must give the very stream of
// the parse of the whole input, which zlib inflates.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "deflate/best_split.h"
#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate_test_helpers.h"
#include "support/memory_io.h"

namespace {

using Chunks = std::vector<std::vector<std::uint32_t>>;

bool TakeChunk(void* context, const std::uint32_t* symbols, std::uint32_t count) {
  static_cast<Chunks*>(context)->emplace_back(symbols, symbols + count);
  return true;
}

// Text with numbers, code-like bytes and a run of zeros across the first
// piece's end, so that matches there must stop at it.
std::vector<std::uint8_t> PieceInput(std::size_t size) {
  std::vector<std::uint8_t> bytes;
  std::uint32_t x = 11;
  static const char* words[] = {"static ", "return ", "uint32_t ", "(void) ", "{\n", "}\n", "= "};
  while (bytes.size() < size) {
    x = x * 1103515245u + 12345u;
    if ((x >> 28) == 0) {
      const std::vector<std::uint8_t> code = zft::RandomBytes(300 + (x >> 20) % 900, x);
      bytes.insert(bytes.end(), code.begin(), code.end());
    } else {
      zft::Append(&bytes, std::string(words[(x >> 16) % 7]) + std::to_string((x >> 8) % 300));
    }
  }
  bytes.resize(size);
  std::fill_n(bytes.begin() + zf::kBestPieceBytes - 700, 5000, std::uint8_t{0});
  return bytes;
}

TEST(BestPieces, PiecesParsedAloneGiveTheWholeParsesStream) {
  const std::size_t piece = zf::kBestPieceBytes;
  for (const std::size_t size : {piece + 40000, piece}) {
    const std::vector<std::uint8_t> input = PieceInput(size);
    zf::DeflateState* state = zf::AllocateDeflateState();
    ASSERT_NE(state, nullptr);
    const zft::MemoryStream whole = zft::DeflateMemory(state, input, 9);
    ASSERT_FALSE(whole.failed);
    std::vector<std::uint8_t> inflated;
    ASSERT_TRUE(zft::ZlibInflate(whole.bytes, input.size(), &inflated));
    EXPECT_TRUE(inflated == input) << size;

    // Each piece from its own bytes and the 258 after them.
    std::vector<Chunks> pieces;
    for (std::size_t at = 0; at < size; at += piece) {
      const std::vector<std::uint8_t> own(
          input.begin() + static_cast<std::ptrdiff_t>(at),
          input.begin() + static_cast<std::ptrdiff_t>(std::min(size, at + piece + 258)));
      zft::MemoryInput in{&own, 0};
      pieces.emplace_back();
      ASSERT_TRUE(
          zf::ParseBestPiece(state, {zft::ReadMemory, &in}, piece, {TakeChunk, &pieces.back()}));
    }

    // Sent by a state that reads the input in order and keeps no tree.
    std::vector<std::uint8_t> joined;
    std::vector<std::uint8_t> out(zf::kDeflateOutBytes);
    zft::MemoryInput in{&input, 0};
    state->source = {zft::ReadMemory, &in};
    state->sink = {zft::WriteMemory, &joined};
    state->outBuffer = out.data();
    std::uint16_t fileType = 0;
    zf::BeginEntryOutput(state, &fileType, 9);
    state->chainsKept = 0;
    zf::StartMatcher(9, state);
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      for (const std::vector<std::uint32_t>& chunk : pieces[k]) {
        ASSERT_TRUE(
            zf::RecordBestChunk(state, chunk.data(), static_cast<std::uint32_t>(chunk.size())));
      }
      if (k + 1 < pieces.size()) {
        ASSERT_TRUE(zf::EndBestPiece(state));
      }
    }
    zf::FinishBestStream(state);
    EXPECT_FALSE(state->failed);
    EXPECT_TRUE(joined == whole.bytes) << size;
    zf::OsRelease(state);
  }
}

// The block split's look-ahead counts, moved on a step or two at a time (as
// its decisions move them) or jumping past them, stay those of the symbols
// in reach, up to the chunk's end.
TEST(BestPieces, SplitLookAheadCountsWhatIsInReach) {
  zf::DeflateState* state = zf::AllocateDeflateState();
  ASSERT_NE(state, nullptr);
  zf::BuildFixedTables(state);
  const std::vector<std::uint8_t> noise = zft::RandomBytes(3 * 9000, 5);
  std::vector<std::uint32_t> symbols;
  for (std::size_t k = 0; k + 2 < noise.size(); k += 3) {
    const std::uint32_t distance = noise[k] < 128 ? 0 : 1 + noise[k + 1] * 127u + noise[k + 2];
    symbols.push_back(distance << 8 | noise[k + 1]);
  }
  const std::uint32_t count = static_cast<std::uint32_t>(symbols.size());
  for (const std::uint32_t stride : {zf::kBestSplitStep, 2 * zf::kBestSplitStep, 5000u}) {
    zf::SplitAhead ahead = {};
    for (std::uint32_t from = 0; from < count; from += stride) {
      zf::MoveAhead(state, symbols.data(), count, from, &ahead);
      zf::SplitAhead fresh = {};
      const std::uint32_t n = std::min(count - from, zf::kBestSplitLookahead);
      zf::CountSymbols(state, symbols.data() + from, n, fresh.counts);
      ASSERT_TRUE(std::equal(fresh.counts, fresh.counts + zf::kSplitCountKinds, ahead.counts))
          << stride << " " << from;
    }
  }
  zf::OsRelease(state);
}

}  // namespace
