// Archives past the classic limits for real: more than 65,535 files, and
// sources and offsets past 4 GiB. They take minutes and gigabytes of disk,
// so they build into their own program whose tests carry the label "big".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "entry/pack_folder.h"
#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

using zft::ScratchDir;

std::uint64_t FreeBytes(const std::string& path) {
  struct statvfs info;
  return statvfs(path.c_str(), &info) == 0 ? std::uint64_t{info.f_bavail} * info.f_frsize : 0;
}

void MakeSparse(const std::string& path, std::uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  // A few bytes that are not zero, so a reader that skipped the data would show.
  ASSERT_EQ(pwrite(fd, "middle", 6, static_cast<off_t>(size / 2)), 6);
  close(fd);
}

TEST(BigArchive, SeventyThousandFiles) {
  ScratchDir dir;
  constexpr int kFiles = 70000;
  for (int i = 0; i < kFiles; ++i) {
    const std::string folder = "src/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) zft::MakeDirs(dir.Path(folder));
    zft::WriteFile(dir.Path(folder + "/f" + std::to_string(i)), "file " + std::to_string(i) + "\n");
  }
  const std::string zip = dir.Path("out.zip");
  zf::PackSummary summary;
  ASSERT_EQ(zf::PackFolder(dir.Path("src").c_str(), zip.c_str(), &summary), zf::ErrNone);
  EXPECT_EQ(summary.entries, std::uint64_t{kFiles});
  const auto archive = zft::CheckArchive(zip);
  EXPECT_TRUE(archive.zip64End);
  EXPECT_EQ(summary.archiveBytes, archive.fileSize);
  ASSERT_EQ(archive.entries.size(), std::size_t{kFiles});
  for (const auto& e : archive.entries) {
    const std::string number = e.name.substr(e.name.rfind("/f") + 2);
    const std::string want = "file " + number + "\n";
    if (zft::EntryContent(e) != std::vector<std::uint8_t>(want.begin(), want.end())) {
      ADD_FAILURE() << e.name << " does not read back to its bytes";
    }
  }
  zft::CheckWithMoreReaders(zip, kFiles);
}

TEST(BigArchive, SourcesAndOffsetsPastFourGigabytes) {
  ScratchDir dir;
  constexpr std::uint64_t kStored = 4'831'838'208;    // 4.5 GiB
  constexpr std::uint64_t kDeflated = 4'509'715'661;  // 4.2 GiB
  // The archive holds the stored file whole and the deflated one in a few MB.
  if (FreeBytes(dir.root) < kStored + (2ull << 30)) GTEST_SKIP() << "not enough free disk";
  zft::MakeDirs(dir.Path("src"));
  MakeSparse(dir.Path("src/image.gz"), kStored);
  MakeSparse(dir.Path("src/data.bin"), kDeflated);
  zft::WriteFile(dir.Path("src/after.txt"), std::string(5000, 'a'));
  zft::WriteFile(dir.Path("src/last.gz"), "last");
  const std::string zip = dir.Path("out.zip");
  ASSERT_EQ(
      zft::PackInOrder(zip, dir.Path("src"), {"image.gz", "data.bin", "after.txt", "last.gz"}),
      zf::ErrNone);
  EXPECT_GT(std::filesystem::file_size(zip), 0x100000000u);

  const auto unzip = zft::RunCommand("unzip -t " + zft::Quote(zip));
  EXPECT_EQ(unzip.status, 0) << unzip.output;
  EXPECT_NE(unzip.output.find("No errors detected"), std::string::npos) << unzip.output;
  const auto python = zft::RunCommand(
      std::string(ZIPFOLDER_PYTHON) + " " +
      zft::Quote(std::string(ZIPFOLDER_SOURCE_DIR) + "/tests/support/zip_stream_check.py") + " " +
      zft::Quote(zip));
  ASSERT_EQ(python.status, 0) << python.output;
  // name, size, compressed size, header offset
  std::istringstream lines(python.output);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    rows.emplace_back();
    for (std::string field; std::getline(fields, field, '\t');) rows.back().push_back(field);
  }
  ASSERT_EQ(rows.size(), 4u) << python.output;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"image.gz", std::to_string(kStored),
                                               std::to_string(kStored), "0"}));
  EXPECT_EQ(rows[1][1], std::to_string(kDeflated));
  EXPECT_EQ(std::stoull(rows[1][3]), kStored + 30 + 8 + 37);
  EXPECT_EQ(rows[2][1], "5000");
  EXPECT_GT(std::stoull(rows[3][3]), 0x100000000u);

  const auto sevenZip = zft::RunCommand("7z l " + zft::Quote(zip));
  EXPECT_EQ(sevenZip.status, 0) << sevenZip.output;
  EXPECT_NE(sevenZip.output.find(std::to_string(kStored)), std::string::npos) << sevenZip.output;
  EXPECT_NE(sevenZip.output.find(std::to_string(kDeflated)), std::string::npos) << sevenZip.output;
  const auto bsdtar = zft::RunCommand("bsdtar -tvf " + zft::Quote(zip));
  EXPECT_EQ(bsdtar.status, 0) << bsdtar.output;
  EXPECT_NE(bsdtar.output.find(std::to_string(kStored)), std::string::npos) << bsdtar.output;
  EXPECT_NE(bsdtar.output.find("last.gz"), std::string::npos) << bsdtar.output;
}

// Streamed into a pipe: the sparse file's entry takes the ZIP64 form from
// its size at open, with 8-byte sizes in its descriptor, and the count and
// offsets need the ZIP64 end records.
TEST(BigArchive, StreamedPastFourGigabytesAndSeventyThousandFiles) {
  ScratchDir dir;
  constexpr std::uint64_t kSparse = 4'831'838'208;  // 4.5 GiB, stored
  constexpr int kFiles = 70000;
  if (FreeBytes(dir.root) < kSparse + (2ull << 30)) GTEST_SKIP() << "not enough free disk";
  for (int i = 0; i < kFiles; ++i) {
    const std::string folder = "src/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) zft::MakeDirs(dir.Path(folder));
    zft::WriteFile(dir.Path(folder + "/f" + std::to_string(i)), "file " + std::to_string(i) + "\n");
  }
  MakeSparse(dir.Path("src/image.gz"), kSparse);
  const std::string zip = dir.Path("out.zip");
  const auto tool = zft::RunCommand(std::string(ZIPFOLDER_TOOL_PATH) + " -q " +
                                    zft::Quote(dir.Path("src")) + " - | cat > " + zft::Quote(zip));
  ASSERT_EQ(tool.status, 0) << tool.output;
  EXPECT_GT(std::filesystem::file_size(zip), kSparse);

  const auto unzip = zft::RunCommand("unzip -tq " + zft::Quote(zip));
  EXPECT_EQ(unzip.status, 0) << unzip.output;
  EXPECT_NE(unzip.output.find("No errors detected"), std::string::npos) << unzip.output;
  const auto python = zft::RunCommand(
      std::string(ZIPFOLDER_PYTHON) + " " +
      zft::Quote(std::string(ZIPFOLDER_SOURCE_DIR) + "/tests/support/zip_stream_check.py") + " " +
      zft::Quote(zip) + " | wc -l");
  ASSERT_EQ(python.status, 0) << python.output;
  EXPECT_EQ(std::stoul(python.output), std::size_t{kFiles} + 1) << python.output;
}

}  // namespace
