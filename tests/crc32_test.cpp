#include "zipwriter/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/test_files.h"

namespace {

TEST(Crc32, AgreesWithZlibOverAnySplitOfTheData) {
  const auto data = zft::RandomBytes(1000, 11);
  const auto expected = static_cast<std::uint32_t>(crc32(0, data.data(), 1000));
  EXPECT_EQ(zf::Crc32Update(0, data.data(), 1000), expected);
  // Pieces of every length from 1 to 19 cover each tail of the 8-byte loop.
  for (std::uint32_t piece = 1; piece < 20; ++piece) {
    std::uint32_t crc = 0;
    for (std::uint32_t at = 0; at < 1000; at += piece) {
      crc = zf::Crc32Update(crc, data.data() + at, std::min(piece, 1000 - at));
    }
    EXPECT_EQ(crc, expected) << piece;
  }
  EXPECT_EQ(zf::Crc32Update(0, reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
  EXPECT_EQ(zf::Crc32Update(0x12345678, data.data(), 0), 0x12345678u);
  EXPECT_EQ(zf::Crc32Update(0x12345678, nullptr, 5), 0u);
}

// Long buffers take another loop than short ones: every length around its
// steps (64 bytes, then 16), at every alignment, from a running CRC.
TEST(Crc32, AgreesWithZlibAtEveryLengthAndAlignment) {
  const auto data = zft::RandomBytes(4200, 12);
  for (std::uint32_t length : {63u, 64u, 65u, 79u, 80u, 127u, 128u, 129u, 191u, 4096u, 4183u}) {
    for (std::uint32_t at = 0; at < 17; ++at) {
      const auto expected =
          static_cast<std::uint32_t>(crc32(0x9E3779B9u, data.data() + at, length));
      EXPECT_EQ(zf::Crc32Update(0x9E3779B9u, data.data() + at, length), expected)
          << length << " at " << at;
    }
  }
}

}  // namespace
