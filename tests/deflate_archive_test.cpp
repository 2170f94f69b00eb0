// Whole archives of deflated entries, read back by unzip, Python's zipfile
// and zlib: the varied set of sources the compressor must handle, packed
// twice to the same bytes.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "deflate_test_helpers.h"
#include "entry/pack_folder.h"
#include "entry/report.h"
#include "support/pack_at_level.h"
#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

TEST(DeflateArchive, VariedSourcesPackAndReadBack) {
  zft::ScratchDir dir;
  zft::MakeDirs(dir.Path("src/deep"));
  std::map<std::string, std::vector<std::uint8_t>> files;
  files["empty.txt"] = {};
  files["one.bin"] = {0x7F};
  files["two.bin"] = {'o', 'k'};
  std::string text;
  for (int i = 0; i < 9000; ++i) text += "row " + std::to_string(i % 731) + ": value;\n";
  files["text.txt"] = std::vector<std::uint8_t>(text.begin(), text.end());
  files["repeat.dat"] = std::vector<std::uint8_t>(2000000, 'r');
  files["deep/noise.bin"] = zft::RandomBytes(150000, 21);
  files["deep/slide.bin"] = zft::RandomBytes(65274, 22);
  std::vector<std::uint8_t> large = zft::RandomBytes(3000000, 23);
  for (std::size_t i = 0; i < large.size(); ++i) {
    if ((i / 5000) % 3 != 0) large[i] = static_cast<std::uint8_t>("abcdefgh"[(i * i) % 7]);
  }
  files["deep/large.bin"] = large;
  // Entries after the large one are small, so their search near the end
  // meets bytes the earlier entries left in the window.
  files["deep/tail.txt"] = std::vector<std::uint8_t>(text.begin(), text.begin() + 3000);

  const std::string first = dir.Path("first.zip");
  const std::string second = dir.Path("second.zip");
  for (const std::string& zip : {first, second}) {
    for (const auto& [name, bytes] : files) {
      zft::WriteFile(dir.Path("src/" + name), bytes);
      zft::SetModifyTime(dir.Path("src/" + name), 1700000000);
    }
    ASSERT_EQ(zf::PackFolder(dir.Path("src").c_str(), zip.c_str(), nullptr), zf::ErrNone);
  }
  EXPECT_EQ(zft::ReadFile(first), zft::ReadFile(second));

  const zft::ParsedArchive archive = zft::CheckArchive(first);
  ASSERT_EQ(archive.entries.size(), files.size());
  for (const auto& [name, bytes] : files) {
    const zft::ParsedEntry* entry = zft::FindEntry(archive, name);
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry->method, 8) << name;
    EXPECT_EQ(entry->flags & 0x0006, 0x0002) << name;
    std::vector<std::uint8_t> content;
    EXPECT_TRUE(zft::ZlibInflate(entry->data, bytes.size(), &content)) << name;
    EXPECT_TRUE(content == bytes) << name;
  }
  EXPECT_EQ(zft::FindEntry(archive, "text.txt")->internalAttributes, 1);
  EXPECT_EQ(zft::FindEntry(archive, "deep/noise.bin")->internalAttributes, 0);
  EXPECT_LT(zft::FindEntry(archive, "repeat.dat")->compressedSize, 5000u);
  EXPECT_LT(zft::FindEntry(archive, "deep/noise.bin")->compressedSize, 150000u + 200);
}

// Every level packs the same folder to archives that unzip -t, Python's
// zipfile and zlib read back, with the same bytes at one and at two
// threads; big.txt is large enough to be split across the workers, in
// segments or in pieces by level (their own tests: SegmentParse).
TEST(DeflateArchive, EveryLevelReadsBackAndKeepsItsBytesAtEveryThreadCount) {
  zft::ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  std::map<std::string, std::vector<std::uint8_t>> files;
  files["empty.txt"] = {};
  files["one.bin"] = {0x7F};
  std::string text;
  for (std::uint32_t i = 0; i < 300000; ++i) {  // unsigned: i * 7919 wraps, never overflows
    text += "line " + std::to_string((i * 7919) % 1543) + ": v" + std::to_string(i % 97) + ";\n";
  }
  files["big.txt"] = std::vector<std::uint8_t>(text.begin(), text.end());
  files["small.txt"] = std::vector<std::uint8_t>(text.begin(), text.begin() + 5000);
  files["noise.bin"] = zft::RandomBytes(70000, 31);
  std::vector<std::uint8_t> zeros(300000, 0);
  for (std::size_t i = 0; i < zeros.size(); i += 4099) zeros[i] = static_cast<std::uint8_t>(i);
  files["zeros.bin"] = zeros;
  for (const auto& [name, bytes] : files) {
    zft::WriteFile(dir.Path("src/" + name), bytes);
    zft::SetModifyTime(dir.Path("src/" + name), 1700000000);
  }
  for (std::int32_t level = 1; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    std::vector<std::uint8_t> first;
    for (const std::uint32_t threads : {1u, 2u}) {
      const std::string zip = dir.Path(std::to_string(level) + "-" + std::to_string(threads));
      ASSERT_EQ(zft::PackAtLevel(dir.Path("src"), zip, level, threads), ZIPFOLDER_DONE);
      if (threads == 1) {
        first = zft::ReadFile(zip);
        const zft::ParsedArchive archive = zft::CheckArchive(zip);
        ASSERT_EQ(archive.entries.size(), files.size());
        for (const auto& [name, bytes] : files) {
          const zft::ParsedEntry* entry = zft::FindEntry(archive, name);
          ASSERT_NE(entry, nullptr) << name;
          EXPECT_TRUE(zft::EntryContent(*entry) == bytes) << name;
        }
      } else {
        EXPECT_TRUE(zft::ReadFile(zip) == first) << threads << " threads";
      }
    }
  }
}

}  // namespace
