// Every level's stream depends on its input alone, not on how the reads
// cut it (a pipe returns what it has), and inflates with zlib; the
// near-optimal parse of level 9, which reads ahead a whole chunk, is the
// level most exposed. Level 9 must also stay the smallest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate_test_helpers.h"
#include "support/memory_io.h"

namespace {

// Reads of at most most bytes, or of most, 1 and 3 bytes in turn.
struct PiecedInput {
  const std::vector<std::uint8_t>* bytes;
  std::size_t at;
  std::uint32_t most;
  std::uint32_t turn;
};

bool ReadPieces(void* context, std::uint8_t* into, std::uint32_t count, std::uint32_t* got) {
  auto* input = static_cast<PiecedInput*>(context);
  static constexpr std::uint32_t kTurns[] = {0, 1, 3};
  std::uint32_t cap = kTurns[input->turn++ % 3];
  if (cap == 0) cap = input->most;
  const std::size_t left = input->bytes->size() - input->at;
  *got = static_cast<std::uint32_t>(std::min<std::size_t>({left, count, cap}));
  std::memcpy(into, input->bytes->data() + input->at, *got);
  input->at += *got;
  return true;
}

std::vector<std::uint8_t> Deflate(zf::DeflateState* state, const std::vector<std::uint8_t>& input,
                                  std::uint8_t level, std::uint32_t most) {
  std::vector<std::uint8_t> stream;
  std::vector<std::uint8_t> out(zf::kDeflateOutBytes);
  PiecedInput in{&input, 0, most, 0};
  state->source = {ReadPieces, &in};
  state->sink = {zft::WriteMemory, &stream};
  state->outBuffer = out.data();
  std::uint16_t fileType = 0;
  zf::DeflateStream(state, level, &fileType);
  EXPECT_FALSE(state->failed);
  return stream;
}

// Text, machine-code-like bytes, a long run and noise, past two slides of
// the window.
std::vector<std::uint8_t> Mixed() {
  std::vector<std::uint8_t> bytes;
  std::uint32_t x = 7;
  static const char* words[] = {"int ", "return ", "struct ", "(void) ", "{\n", "}\n", "x; "};
  while (bytes.size() < 90000) {
    x = x * 1103515245u + 12345u;
    zft::Append(&bytes, std::string(words[(x >> 16) % 7]));
  }
  std::vector<std::uint8_t> code = zft::RandomBytes(60000, 5);
  for (std::size_t i = 0; i + 4 < code.size(); i += 11) code[i] = 0xE8, code[i + 1] = 0;
  bytes.insert(bytes.end(), code.begin(), code.end());
  bytes.insert(bytes.end(), 5000, 0);
  const std::vector<std::uint8_t> noise = zft::RandomBytes(20000, 9);
  bytes.insert(bytes.end(), noise.begin(), noise.end());
  return bytes;
}

TEST(LevelReads, EveryLevelGivesTheSameBytesHoweverTheReadsCutTheInput) {
  const std::vector<std::uint8_t> input = Mixed();
  zf::DeflateState* state = zf::AllocateDeflateState();
  ASSERT_NE(state, nullptr);
  std::size_t sizes[10] = {};
  for (std::uint8_t level = 1; level <= 9; ++level) {
    const std::vector<std::uint8_t> whole = Deflate(state, input, level, 1u << 20);
    std::vector<std::uint8_t> inflated;
    ASSERT_TRUE(zft::ZlibInflate(whole, input.size(), &inflated)) << "level " << int{level};
    EXPECT_TRUE(inflated == input) << "level " << int{level};
    for (const std::uint32_t most : {1u, 300u, 4093u, 40000u}) {
      EXPECT_TRUE(Deflate(state, input, level, most) == whole)
          << "level " << int{level} << " reads of " << most;
    }
    sizes[level] = whole.size();
  }
  zf::OsRelease(state);
  // The smallest level is the smallest, by a margin over the default.
  EXPECT_LT(sizes[9] * 100, sizes[8] * 99);
  for (std::uint8_t level = 1; level < 9; ++level) EXPECT_LT(sizes[9], sizes[level]);
}

}  // namespace
