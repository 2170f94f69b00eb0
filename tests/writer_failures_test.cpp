// What the writer does when a source or the output fails it, or an archive
// outgrows the classic fields:
// the failed entry leaves no trace, and the archive stays whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "entry/pack_folder.h"
#include "support/test_files.h"
#include "support/zip_check.h"
#include "zipwriter/source_details.h"

namespace {

using zft::CheckArchive;
using zft::EntryNames;
using zft::ScratchDir;
using zft::WriteFile;
using Names = std::vector<std::string>;

struct Archive {
  explicit Archive(const std::string& zipPath) {
    EXPECT_EQ(zf::OpenArchive(zipPath.c_str(), &writer), zf::ErrNone);
  }
  std::int32_t Add(const std::string& source, const std::string& name) {
    return zf::AddEntry(writer, source.c_str(), name.c_str());
  }
  std::int32_t Close() {
    const std::int32_t code = zf::CloseArchive(writer);
    writer = nullptr;
    return code;
  }
  ~Archive() {
    if (writer != nullptr) zf::CloseArchive(writer);
  }
  zf::ZipWriter* writer = nullptr;
};

// Reading /proc/self/mem from its start fails with an I/O error, after the
// file was opened and its header written: a source that breaks mid-entry.
constexpr const char* kFailingSource = "/proc/self/mem";

TEST(WriterFailures, FailedEntryInTheMiddleOrAtTheEndLeavesNoTrace) {
  ScratchDir dir;
  WriteFile(dir.Path("a.txt"), std::string(5000, 'a'));
  WriteFile(dir.Path("b.gz"), zft::RandomBytes(3000, 1));
  for (const char* failing : {"broken.gz", "broken.txt"}) {  // stored and deflated
    for (bool atEnd : {false, true}) {
      SCOPED_TRACE(std::string(failing) + (atEnd ? " at the end" : " in the middle"));
      Archive archive(dir.Path("out.zip"));
      EXPECT_EQ(archive.Add(dir.Path("a.txt"), "a.txt"), zf::ErrNone);
      EXPECT_EQ(archive.Add(kFailingSource, failing), zf::ErrRead);
      if (!atEnd) {
        EXPECT_EQ(archive.Add(dir.Path("b.gz"), "b.gz"), zf::ErrNone);
      }
      EXPECT_EQ(archive.Close(), zf::ErrNone);
      const auto parsed = CheckArchive(dir.Path("out.zip"));
      EXPECT_EQ(EntryNames(parsed), atEnd ? Names{"a.txt"} : (Names{"a.txt", "b.gz"}));
      EXPECT_EQ(zft::EntryContent(parsed.entries[0]), std::vector<std::uint8_t>(5000, 'a'));
    }
  }
}

TEST(WriterFailures, AnOutputFailureSticksToTheArchive) {
  ScratchDir dir;
  // Larger than the output buffer, so that its own writes fail.
  WriteFile(dir.Path("big.gz"), zft::RandomBytes(3 * zf::kOutputBufferBytes / 2, 6));
  WriteFile(dir.Path("small.txt"), "small");
  // A file size limit makes the archive's writes fail past 4 KiB, as a full
  // disk would: the big entry fails, and the small ones after it, which
  // would fit where it began, must not hide that.
  std::int32_t big;
  std::vector<std::int32_t> small;
  std::int32_t closed;
  {
    const zft::FileSizeLimit full(4096);
    Archive archive(dir.Path("out.zip"));
    big = archive.Add(dir.Path("big.gz"), "big.gz");
    for (int i = 0; i < 5; ++i) small.push_back(archive.Add(dir.Path("small.txt"), "small.txt"));
    closed = archive.Close();
  }
  EXPECT_EQ(big, zf::ErrWrite);
  EXPECT_EQ(small, std::vector<std::int32_t>(5, zf::ErrWrite));
  EXPECT_EQ(closed, zf::ErrWrite);
  // No end record claims the archive is whole.
  EXPECT_NE(zft::RunCommand("unzip -t " + zft::Quote(dir.Path("out.zip"))).status, 0);
}

TEST(WriterFailures, AFifoAsThePlainFunctionsArchiveFailsAtOnce) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  WriteFile(dir.Path("src/a.txt"), "a");
  ASSERT_EQ(mkfifo(dir.Path("pipe.zip").c_str(), 0644), 0);
  // The reporting function and the tool stream into a FIFO; the plain
  // function, which writes in place and seeks, fails at once and leaves it.
  EXPECT_EQ(zf::PackFolder(dir.Path("src").c_str(), dir.Path("pipe.zip").c_str(), nullptr),
            zf::ErrOpen);
  struct stat info {};
  ASSERT_EQ(lstat(dir.Path("pipe.zip").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(WriterFailures, OneArchiveHasOneWriter) {
  ScratchDir dir;
  WriteFile(dir.Path("a.txt"), "first writer's file");
  const std::string zip = dir.Path("out.zip");
  Archive first(zip);
  EXPECT_EQ(first.Add(dir.Path("a.txt"), "a.txt"), zf::ErrNone);
  const auto before = zft::ReadFile(zip);

  zf::ZipWriter* second = reinterpret_cast<zf::ZipWriter*>(1);
  EXPECT_EQ(zf::OpenArchive(zip.c_str(), &second), zf::ErrOpen);
  EXPECT_EQ(second, nullptr);
  // Another process fares no better, and the tool says so.
  const auto tool = zft::RunCommand(std::string(ZIPFOLDER_TOOL_PATH) + " " + zft::Quote(dir.root) +
                                    " " + zft::Quote(zip));
  EXPECT_NE(tool.status, 0);
  EXPECT_NE(tool.output.find("cannot create"), std::string::npos) << tool.output;
  EXPECT_EQ(zft::ReadFile(zip), before);

  EXPECT_EQ(first.Close(), zf::ErrNone);
  EXPECT_EQ(EntryNames(CheckArchive(zip)), Names{"a.txt"});
}

TEST(WriterFailures, SourcesHeldExclusivelyOrNotFilesAreLeftOut) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/folder"));
  WriteFile(dir.Path("src/locked.txt"), "locked");
  WriteFile(dir.Path("src/free.txt"), "free");
  const int fd = open(dir.Path("src/locked.txt").c_str(), O_RDWR);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Archive archive(dir.Path("out.zip"));
  EXPECT_EQ(archive.Add(dir.Path("src/locked.txt"), "locked.txt"), zf::ErrOpen);
  EXPECT_EQ(archive.Add(dir.Path("src/folder"), "folder"), zf::ErrOpen);
  EXPECT_EQ(archive.Add(dir.Path("src/missing"), "missing"), zf::ErrOpen);
  EXPECT_EQ(archive.Add(dir.Path("src/free.txt"), ""), zf::ErrArgument);
  EXPECT_EQ(zf::AddEntry(archive.writer, nullptr, "x"), zf::ErrArgument);
  EXPECT_EQ(archive.Add(dir.Path("src/free.txt"), "dir\\free.txt"), zf::ErrNone);
  EXPECT_EQ(archive.Close(), zf::ErrNone);
  close(fd);
  EXPECT_EQ(EntryNames(CheckArchive(dir.Path("out.zip"))), Names{"dir/free.txt"});
}

TEST(WriterFailures, FinishedArchiveTakesNoMoreEntries) {
  ScratchDir dir;
  WriteFile(dir.Path("a.txt"), "a");
  Archive archive(dir.Path("out.zip"));
  EXPECT_EQ(archive.Add(dir.Path("a.txt"), "a.txt"), zf::ErrNone);
  zf::WriteCentralDirectory(archive.writer);
  EXPECT_EQ(archive.Add(dir.Path("a.txt"), "again.txt"), zf::ErrFinished);
  EXPECT_EQ(archive.Close(), zf::ErrNone);  // writes no second directory
  EXPECT_EQ(EntryNames(CheckArchive(dir.Path("out.zip"))), Names{"a.txt"});
  EXPECT_EQ(zf::CloseArchive(nullptr), zf::ErrArgument);
  EXPECT_EQ(zf::AddEntry(nullptr, "x", "x"), zf::ErrArgument);
}

TEST(WriterFailures, EntriesPastTheClassicCountAreKept) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  for (int i = 0; i < 5; ++i) WriteFile(dir.Path("src/f" + std::to_string(i)), "x");
  Archive archive(dir.Path("out.zip"));
  archive.writer->ownChoices.classicCountMax = 2;
  zf::AddFolder(archive.writer, dir.Path("src").c_str(), dir.Path("src").c_str());
  EXPECT_EQ(archive.Close(), zf::ErrNone);
  const auto parsed = CheckArchive(dir.Path("out.zip"));
  EXPECT_EQ(parsed.entries.size(), 5u);
  EXPECT_TRUE(parsed.zip64End);
}

TEST(WriterFailures, EntriesPastTheClassicOffsetsAreKept) {
  ScratchDir dir;
  WriteFile(dir.Path("small.gz"), "small");
  WriteFile(dir.Path("big.gz"), zft::RandomBytes(100000, 9));
  WriteFile(dir.Path("big.txt"), zft::RandomBytes(100000, 9));
  Archive archive(dir.Path("out.zip"));
  archive.writer->ownChoices.classicSizeMax = 1000;
  for (const char* name : {"small.gz", "big.gz", "big.txt", "small.gz"}) {
    EXPECT_EQ(archive.Add(dir.Path(name), name), zf::ErrNone) << name;
  }
  EXPECT_EQ(archive.Close(), zf::ErrNone);
  const auto parsed = CheckArchive(dir.Path("out.zip"));
  EXPECT_EQ(EntryNames(parsed), (Names{"small.gz", "big.gz", "big.txt", "small.gz"}));
  EXPECT_GT(parsed.entries[3].headerOffset, 200000u);
}

TEST(WriterFailures, SourcesOfFourGigabytesAreOpenedWithTheirSize) {
  ScratchDir dir;
  const int fd = open(dir.Path("huge.bin").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(ftruncate(fd, 0x100000000LL), 0);  // sparse: no space taken
  close(fd);
  Archive archive(dir.Path("out.zip"));
  archive.writer->current.source = zf::OsOpenSource(dir.Path("huge.bin").c_str());
  zf::SourceDetails details;
  EXPECT_EQ(zf::ReadSourceInfo(archive.writer, &details), zf::ErrNone);
  EXPECT_EQ(archive.writer->current.sourceSize, 0x100000000u);
  zf::OsClose(archive.writer->current.source);
  archive.writer->current.source = zf::kNoFile;
}

TEST(WriterFailures, OutputReachesPositionsPastFourGigabytes) {
  ScratchDir dir;
  const zf::OsFile file = zf::OsCreateArchive(dir.Path("sparse").c_str());
  ASSERT_NE(file, zf::kNoFile);
  std::uint32_t written = 0;
  for (std::uint64_t position : {0xFFFFFFF0ull, 0x100000010ull, 0x7FFFFFFF0ull}) {
    EXPECT_TRUE(zf::OsSeek(file, position));
    EXPECT_TRUE(zf::OsWrite(file, "tail", 4, &written));
  }
  EXPECT_TRUE(zf::OsSeek(file, 0x100000014ull));
  EXPECT_TRUE(zf::OsSetEnd(file));
  EXPECT_FALSE(zf::OsSeek(file, ~0ull));
  zf::OsClose(file);
  struct stat info;
  ASSERT_EQ(stat(dir.Path("sparse").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0x100000014LL);
}

}  // namespace
