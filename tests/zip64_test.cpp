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

// Adds the files in the order given: the walk's order follows the file
// system's, which may differ between machines.
std::int32_t PackInOrder(const std::string& zip, const std::string& folder,
                         const std::vector<std::string>& names) {
  zf::ZipWriter* writer = nullptr;
  EXPECT_EQ(zf::OpenArchive(zip.c_str(), &writer), zf::ErrNone);
  for (const auto& name : names) {
    EXPECT_EQ(zf::AddEntry(writer, (folder + "/" + name).c_str(), name.c_str()), zf::ErrNone)
        << name;
  }
  return zf::CloseArchive(writer);
}

// The CRC-32 of the whole archive, with the creation times cleared: the
// file system records them when the test makes the files, and nothing can
// set them afterwards.
std::uint32_t CrcWithoutCreationTimes(const std::string& zip) {
  auto bytes = zft::ReadFile(zip);
  for (const auto& e : zft::ParseArchive(zip).entries) {
    const std::size_t creation = e.headerOffset + 30 + e.name.size() + 13;
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
  EXPECT_EQ(PackInOrder(zip, dir.Path("src"), names), zf::ErrNone);
  zft::CheckArchive(zip);
  EXPECT_EQ(CrcWithoutCreationTimes(zip), 0xF72BC8B5u);
}

}  // namespace
