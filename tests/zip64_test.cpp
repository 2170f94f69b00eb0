// Archives past the classic limits: the ZIP64 records, written at lowered
// thresholds on small trees and once for real past 4 GiB, and the pinned
// bytes of an archive that fits the classic limits.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "support/test_files.h"
#include "support/zip_check.h"
#include "zipwriter/zip_writer.h"

namespace {

using zft::ScratchDir;
using zft::WriteFile;

// The CRC-32 of the whole archive, with the creation times cleared: the
// file system records them when the test makes the files, and nothing can
// set them afterwards.
std::uint32_t CrcWithoutCreationTimes(const std::string& zip) {
  auto bytes = zft::ReadFile(zip);
  for (const auto& e : zft::ParseArchive(zip).entries) {
    const std::size_t creation = static_cast<std::size_t>(e.headerOffset) + 30 + e.name.size() + 13;
    for (std::size_t i = 0; i < 4; ++i) bytes.at(creation + i) = 0;
  }
  return static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

TEST(ClassicArchive, FixedTreeKeepsItsBytes) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/deep/er"));
  std::string text;
  for (int i = 0; i < 6000; ++i) text += "line " + std::to_string(i * 7 % 1009) + " of the tree\n";
  std::vector<std::uint8_t> program(300, 0);
  program[0] = 'M';
  program[1] = 'Z';
  program[60] = 0x80;
  program[128] = 'P';
  program[129] = 'E';
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {
      {"text.txt", std::vector<std::uint8_t>(text.begin(), text.end())},
      {"noise.bin", zft::RandomBytes(90000, 5)},
      {"deep/packed.gz", zft::RandomBytes(20000, 6)},
      {"deep/empty.txt", {}},
      {"deep/er/program.exe", program},
      {"deep/er/caf\xC3\xA9.txt", std::vector<std::uint8_t>(70000, 'c')},
  };
  std::vector<std::string> names;
  std::int64_t time = 1600000000;
  for (const auto& [name, content] : files) {
    WriteFile(dir.Path("src/" + name), content);
    zft::SetModifyTime(dir.Path("src/" + name), time += 86399);
    names.push_back(name);
  }
  const std::string zip = dir.Path("out.zip");
  EXPECT_EQ(zft::PackInOrder(zip, dir.Path("src"), names), zf::ErrNone);
  zft::CheckArchive(zip);
  EXPECT_EQ(CrcWithoutCreationTimes(zip), 0xF72BC8B5u);
}

// Each form of the ZIP64 records, reached on small files by lowering the
// largest values the classic fields take.
TEST(Zip64, EveryRecordAtLoweredThresholds) {
  struct Case {
    const char* what;
    std::uint64_t sizeMax;
    std::uint64_t countMax;
    std::vector<std::string> names;
    std::string sizesInZip64;   // per entry: 'S' sizes in the ZIP64 fields, '-' classic
    std::string offsetInZip64;  // per entry: 'O' header offset in the central ZIP64 field
    bool zip64End;
  };
  const std::string longName = std::string(200, 'n');
  const std::vector<Case> cases = {
      {"sizes known at open",
       1000,
       0xFFFF,
       {"text.txt", "noise.gz", "tail.txt"},
       "SS-",
       "--O",
       true},
      {"count alone", 0xFFFFFFFF, 3, {"e1", "e2", "e3", "e4", "e5"}, "-----", "-----", true},
      {"deflated past the source", 20002, 0xFFFF, {"noise.bin", "e1"}, "S-", "-O", true},
      {"grown since opened", 300, 0xFFFF, {"e1", "/proc/self/status", "e2"}, "-S-", "--O", true},
      {"directory size alone",
       750,
       0xFFFF,
       {longName + "1", longName + "2", longName + "3"},
       "---",
       "---",
       true},
      {"nothing past the thresholds", 1000, 3, {"e1", "e2"}, "--", "--", false},
  };
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  std::string text;
  while (text.size() < 3000) text += "a line of text " + std::to_string(text.size()) + "\n";
  WriteFile(dir.Path("src/text.txt"), text);
  WriteFile(dir.Path("src/noise.gz"), zft::RandomBytes(5000, 1));
  WriteFile(dir.Path("src/noise.bin"), zft::RandomBytes(20000, 2));
  WriteFile(dir.Path("src/tail.txt"), "tail");
  for (const char* name : {"e1", "e2", "e3", "e4", "e5"}) WriteFile(dir.Path("src/") + name, name);
  for (const char* n : {"1", "2", "3"}) WriteFile(dir.Path("src/" + longName + n), "");

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string zip = dir.Path("out.zip");
    EXPECT_EQ(zft::PackInOrder(zip, dir.Path("src"), c.names, c.sizeMax, c.countMax), zf::ErrNone);
    const auto archive = zft::CheckArchive(zip);
    zft::CheckWithMoreReaders(zip, c.names.size());
    EXPECT_EQ(archive.zip64End, c.zip64End);
    ASSERT_EQ(archive.entries.size(), c.names.size());
    for (std::size_t i = 0; i < c.names.size(); ++i) {
      const auto& e = archive.entries[i];
      const bool sizes = e.localExtra.size() == 20 + 17;
      const bool offset = e.centralExtra.size() == 4 + 9 + (sizes ? 24 : 8);
      EXPECT_EQ(sizes ? 'S' : '-', c.sizesInZip64[i]) << e.name;
      EXPECT_EQ(offset ? 'O' : '-', c.offsetInZip64[i]) << e.name;
      if (c.names[i][0] != '/') {
        const auto content = zft::ReadFile(dir.Path("src/" + c.names[i]));
        EXPECT_EQ(zft::EntryContent(e), content) << e.name;
      }
    }
  }
}

}  // namespace
