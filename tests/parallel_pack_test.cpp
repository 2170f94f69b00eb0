// Packing with worker threads: the same archive as on one thread whatever
// the tree and its failures, the caller's events in walk order, a cancel
// that stops the work, and a failed write that ends the archive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "entry/pack_pipeline.h"
#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

using zft::ScratchDir;
using zft::WriteFile;

// The output held for later files, kept small so that the tests pass it.
constexpr std::uint64_t kBudget = 256 * 1024;

// Access times a first read does not move, so that every pack sees the same.
void WriteSettled(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  WriteFile(path, bytes);
  const timespec times[2] = {{std::time(nullptr) + 86400, 0}, {1600000000, 0}};
  EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A tree with every kind of file the writer treats differently: stored and
// deflated, empty, bigger than the output held in memory, unreadable midway
// (a link to /proc/self/mem), vanished before it is opened (a dangling link).
std::string MakeMixedTree(const ScratchDir& dir) {
  const std::string src = dir.Path("src");
  zft::MakeDirs(src + "/deep/er");
  for (int i = 0; i < 60; ++i) {
    const std::string text = std::string(static_cast<std::size_t>(i * 97), 'a') + std::to_string(i);
    WriteSettled(src + "/deep/t" + std::to_string(i) + ".txt", {text.begin(), text.end()});
  }
  WriteSettled(src + "/empty.txt", {});
  WriteSettled(src + "/empty.gz", {});
  WriteSettled(src + "/deep/er/noise.bin", zft::RandomBytes(kBudget + 50000, 4));
  WriteSettled(src + "/deep/er/packed.ZIP", zft::RandomBytes(70000, 5));
  WriteSettled(src + "/big1.gz", zft::RandomBytes(kBudget * 3, 6));
  WriteSettled(src + "/big2.tgz", zft::RandomBytes(kBudget * 2, 7));
  EXPECT_EQ(symlink("/proc/self/mem", (src + "/deep/broken.txt").c_str()), 0);
  EXPECT_EQ(symlink(dir.Path("gone").c_str(), (src + "/vanished.txt").c_str()), 0);
  return src;
}

struct Recorded {
  std::vector<std::string> added;
  std::vector<std::string> leftOut;
  std::uint64_t lastTotal = 0;
  bool decreased = false;
  std::uint32_t answersLeft = 0xFFFFFFFF;  // bytesRead calls before the cancel
};

zf::PackEvents Recorder(Recorded* record) {
  zf::PackEvents events{};
  events.context = record;
  events.entryAdded = [](void* context, const zf::ZipEntry* entry) {
    static_cast<Recorded*>(context)->added.push_back(entry->name);
  };
  events.fileLeftOut = [](void* context, const char* path, std::int32_t code, std::int32_t) {
    static_cast<Recorded*>(context)->leftOut.push_back(std::string(path) + ":" +
                                                       std::to_string(code));
  };
  events.bytesRead = [](void* context, std::uint64_t total) {
    auto* seen = static_cast<Recorded*>(context);
    seen->decreased = seen->decreased || total < seen->lastTotal;
    seen->lastTotal = total;
    if (seen->answersLeft == 0) return false;
    --seen->answersLeft;
    return true;
  };
  return events;
}

std::vector<std::uint8_t> PackWith(const std::string& src, const std::string& zip,
                                   std::uint32_t threads, Recorded* record = nullptr) {
  zf::PackEvents events{};
  if (record != nullptr) events = Recorder(record);
  zf::ZipWriter* writer = nullptr;
  EXPECT_EQ(zf::OpenArchive(zip.c_str(), &writer), zf::ErrNone);
  zf::AddFolderTree(writer, src.c_str(), src.c_str(), threads,
                    record != nullptr ? &events : nullptr, zip.c_str(), kBudget);
  EXPECT_EQ(zf::CloseArchive(writer), zf::ErrNone);
  return zft::ReadFile(zip);
}

TEST(ParallelPack, SameArchiveAndEventsForAnyThreadCount) {
  ScratchDir dir;
  const std::string src = MakeMixedTree(dir);
  ASSERT_EQ(zf::PackFolder(src.c_str(), dir.Path("one.zip").c_str(), nullptr), zf::ErrNone);
  const auto expected = zft::ReadFile(dir.Path("one.zip"));
  const auto parsed = zft::CheckArchive(dir.Path("one.zip"));
  EXPECT_EQ(parsed.entries.size(), 66u);
  Recorded single;
  EXPECT_EQ(PackWith(src, dir.Path("t1.zip"), 1, &single), expected);
  EXPECT_EQ(single.added, zft::EntryNames(parsed));
  ASSERT_EQ(single.leftOut.size(), 2u);
  const std::string broken = src + "/deep/broken.txt:" + std::to_string(zf::ErrRead);
  EXPECT_TRUE(single.leftOut[0] == broken || single.leftOut[1] == broken);
  for (std::uint32_t threads : {2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    Recorded record;
    EXPECT_EQ(PackWith(src, dir.Path("t.zip"), threads, &record), expected);
    EXPECT_EQ(record.added, single.added);
    EXPECT_EQ(record.leftOut, single.leftOut);
    EXPECT_FALSE(record.decreased);
    EXPECT_EQ(record.lastTotal, single.lastTotal);
    EXPECT_EQ(PackWith(src, dir.Path("quiet.zip"), threads), expected);
  }
}

// Lowered ZIP64 thresholds: entries whose sizes or offsets pass them carry
// the ZIP64 fields, whether their headers are written before or after their
// data; one that streams in before it is known to need the field is added
// again by the writer's thread.
TEST(ParallelPack, Zip64FormsAreTheSameForAnyThreadCount) {
  ScratchDir dir;
  const std::string src = dir.Path("src");
  zft::MakeDirs(src);
  for (int i = 0; i < 12; ++i) {
    WriteSettled(
        src + "/f" + std::to_string(i) + (i % 3 == 0 ? ".gz" : ".txt"),
        zft::RandomBytes(static_cast<std::size_t>(i) * 4000, static_cast<std::uint32_t>(i)));
  }
  std::vector<std::uint8_t> first;
  for (std::uint32_t threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    const std::string zip = dir.Path("out" + std::to_string(threads) + ".zip");
    zf::ZipWriter* writer = nullptr;
    ASSERT_EQ(zf::OpenArchive(zip.c_str(), &writer), zf::ErrNone);
    writer->ownChoices.classicSizeMax = 20000;
    writer->ownChoices.classicCountMax = 5;
    Recorded record;
    const zf::PackEvents events = Recorder(&record);
    EXPECT_TRUE(
        zf::AddFolderTree(writer, src.c_str(), src.c_str(), threads, &events, nullptr, 8192));
    EXPECT_EQ(zf::CloseArchive(writer), zf::ErrNone);
    EXPECT_EQ(record.added.size(), 12u);
    EXPECT_TRUE(record.leftOut.empty());
    EXPECT_TRUE(zft::CheckArchive(zip).zip64End);
    if (threads == 1) first = zft::ReadFile(zip);
    EXPECT_EQ(zft::ReadFile(zip), first);
  }
}

TEST(ParallelPack, CancelStopsPromptlyAndLeavesAWholeArchive) {
  ScratchDir dir;
  const std::string src = MakeMixedTree(dir);
  for (std::uint32_t threads : {1u, 2u}) {
    for (std::uint32_t answers : {0u, 3u}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, cancel after " + std::to_string(answers));
      Recorded record;
      record.answersLeft = answers;
      PackWith(src, dir.Path("out.zip"), threads, &record);
      const auto parsed = zft::CheckArchive(dir.Path("out.zip"));
      EXPECT_EQ(zft::EntryNames(parsed), record.added);
      EXPECT_LE(record.added.size(), answers + 1u);
    }
  }
}

TEST(ParallelPack, FailedWriteEndsTheArchiveOnEveryPath) {
  ScratchDir dir;
  const std::string src = dir.Path("src");
  zft::MakeDirs(src);
  WriteFile(src + "/a.txt", std::string(3000, 'a'));
  WriteFile(src + "/b.gz", zft::RandomBytes(200000, 3));
  WriteFile(src + "/c.txt", "c");
  const std::string zip = dir.Path("out.zip");
  const auto pack = [&](std::uint32_t threads) -> std::int32_t {
    zf::ZipWriter* writer = nullptr;
    if (zf::OpenArchive(zip.c_str(), &writer) != zf::ErrNone) return zf::ErrOpen;
    zf::AddFolderTree(writer, src.c_str(), src.c_str(), threads, nullptr, zip.c_str());
    return zf::CloseArchive(writer);
  };
  ASSERT_EQ(pack(2), zf::ErrNone);
  const std::uint64_t whole = zft::ReadFile(zip).size();
  // Past the first entry, within the second, within the directory.
  for (std::uint64_t limit : {std::uint64_t{1000}, std::uint64_t{100000}, whole - 40}) {
    for (std::uint32_t threads : {1u, 2u}) {
      SCOPED_TRACE(std::to_string(limit) + " bytes, " + std::to_string(threads) + " threads");
      std::int32_t code = zf::ErrNone;
      {
        const zft::FileSizeLimit full(limit);
        code = pack(threads);
      }
      EXPECT_EQ(code, zf::ErrWrite);
      EXPECT_LE(zft::ReadFile(zip).size(), limit);
    }
  }
}

int OpenDescriptors() {
  int count = -1;  // the listing's own
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// With descriptors for one thread's work only, workers that cannot open
// their file or spill hand it back: no file is left out that one thread
// packs, and the archive is the same.
TEST(ParallelPack, WorkersShortOfDescriptorsGiveWay) {
  ScratchDir dir;
  const std::string src = MakeMixedTree(dir);
  // Files whose compression takes a while, so that workers hold them at once.
  zft::MakeDirs(src + "/slow");
  for (std::uint32_t i = 0; i < 6; ++i) {
    WriteSettled(src + "/slow/s" + std::to_string(i) + ".bin", zft::RandomBytes(200000, 20 + i));
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (int spare : {2, 4}) {
    std::vector<std::uint8_t> archives[2];
    std::vector<std::string> leftOut[2];
    for (std::uint32_t threads : {1u, 3u}) {
      SCOPED_TRACE(std::to_string(spare) + " spare, " + std::to_string(threads) + " threads");
      Recorded record;
      const zf::PackEvents events = Recorder(&record);
      const std::string zip = dir.Path("out" + std::to_string(threads) + ".zip");
      rlimit tight = saved;
      tight.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + spare);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
      zf::ZipWriter* writer = nullptr;
      const std::int32_t opened = zf::OpenArchive(zip.c_str(), &writer);
      if (opened == zf::ErrNone) {
        zf::AddFolderTree(writer, src.c_str(), src.c_str(), threads, &events, zip.c_str(), kBudget);
      }
      const std::int32_t closed = opened == zf::ErrNone ? zf::CloseArchive(writer) : opened;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
      ASSERT_EQ(closed, zf::ErrNone);
      archives[threads > 1] = zft::ReadFile(zip);
      leftOut[threads > 1] = record.leftOut;
    }
    SCOPED_TRACE(std::to_string(spare) + " spare");
    EXPECT_EQ(archives[1], archives[0]);
    EXPECT_EQ(leftOut[1], leftOut[0]);
    EXPECT_EQ(zft::CheckArchive(dir.Path("out3.zip")).entries.size(), 72u);
  }
}

// On a disk with room for the archive only, the workers' spill files give
// their room back: the archive is the one a single thread writes. The disk
// is a small file system mounted where the tool alone sees it, where the
// system lets a user do so.
TEST(ParallelPack, ADiskWithRoomForTheArchiveOnlyHoldsItAtAnyThreadCount) {
  ScratchDir dir;
  const std::string src = dir.Path("src");
  zft::MakeDirs(src);
  for (std::uint32_t i = 0; i < 3; ++i) {  // stored, each past the output held in memory
    WriteFile(src + "/r" + std::to_string(i) + ".gz", zft::RandomBytes(20 << 20, 30 + i));
  }
  WriteFile(src + "/t.txt", std::string(100000, 't'));
  const std::string tool = ZIPFOLDER_TOOL_PATH;
  const std::string disk = dir.Path("disk");
  zft::MakeDirs(disk);
  const auto inOwnMount = [&](const std::string& size, const std::string& then) {
    return zft::RunCommand("unshare -rm sh -c " +
                           zft::Quote("mount -t tmpfs -o size=" + size + " tmpfs " + disk + then));
  };
  if (inOwnMount("1m", "").status != 0) GTEST_SKIP() << "no file system of our own here";
  ASSERT_EQ(zft::RunCommand(tool + " -q -T 1 " + src + " " + dir.Path("one.zip")).status, 0);
  const auto expected = zft::ReadFile(dir.Path("one.zip"));
  const std::string room = std::to_string(expected.size() / 1024 + 16) + "k";
  const auto packed =
      inOwnMount(room, " && " + tool + " -q -T 3 " + src + " " + disk + "/out.zip && cp " + disk +
                           "/out.zip " + dir.Path("three.zip"));
  EXPECT_EQ(packed.status, 0) << packed.output;
  EXPECT_EQ(zft::ReadFile(dir.Path("three.zip")), expected);
}

// With memory for one thread's work only, the workers that cannot get
// theirs give way: the archive is the one a single thread writes. A build
// whose tool cannot run in that little memory (a sanitizer's) skips it.
TEST(ParallelPack, WorkersShortOfMemoryGiveWay) {
  ScratchDir dir;
  const std::string src = dir.Path("src");
  for (int i = 0; i < 30; ++i) {
    const std::string folder = src + "/d" + std::to_string(i % 3);
    zft::MakeDirs(folder);
    std::string text;
    for (int line = 0; line < 3000; ++line) text += std::to_string(line * (i + 7)) + " words\n";
    WriteFile(folder + "/f" + std::to_string(i) + ".txt", text);
  }
  const auto pack = [&](const char* threads, const std::string& zip) {
    return zft::RunCommand("ulimit -v 20000; " + std::string(ZIPFOLDER_TOOL_PATH) + " -q -T " +
                           threads + " " + src + " " + dir.Path(zip));
  };
  if (pack("1", "one.zip").status != 0) GTEST_SKIP() << "the tool needs more memory here";
  const auto packed = pack("3", "three.zip");
  EXPECT_EQ(packed.status, 0) << packed.output;
  EXPECT_EQ(zft::ReadFile(dir.Path("three.zip")), zft::ReadFile(dir.Path("one.zip")));
}

// Files large enough to be parsed in segments by every worker: the archive
// of one thread, also when the pack is cancelled or its write fails midway
// through them. The smaller one's worker is free while the other's is
// parsed alone, and then helps with it.
TEST(ParallelPack, LargeFilesSplitAcrossWorkersKeepTheirBytes) {
  ScratchDir dir;
  const std::string src = dir.Path("src");
  zft::MakeDirs(src + "/sub");
  std::string text;
  // Both large files past the 4 MiB from which a file is split; under
  // ThreadSanitizer, which runs these packs dozens of times slower, barely.
  const std::size_t whole = zft::kThreadSanitizedBuild ? (17u << 18) : (9u << 20);
  for (std::uint64_t line = 0; text.size() < whole; ++line) {
    text += std::to_string(line * 7919 % 100003) + " large " + std::to_string(line % 977) + "\n";
  }
  WriteSettled(src + "/large.txt", {text.begin(), text.end()});
  WriteSettled(src + "/sub/small.txt", {'s', 'm', 'a', 'l', 'l'});
  const std::size_t from = zft::kThreadSanitizedBuild ? 0 : (9u << 19);
  WriteSettled(src + "/sub/large.txt",
               {text.begin() + static_cast<std::ptrdiff_t>(from), text.end()});
  const std::string zip = dir.Path("out.zip");
  const auto expected = PackWith(src, dir.Path("one.zip"), 1);
  EXPECT_EQ(zft::CheckArchive(dir.Path("one.zip")).entries.size(), 3u);
  if (!zft::kThreadSanitizedBuild) {
    EXPECT_EQ(PackWith(src, zip, 3), expected);
  }
  EXPECT_EQ(PackWith(src, zip, 2), expected);
  for (std::uint32_t answers : {1u, 6u}) {
    if (zft::kThreadSanitizedBuild) continue;
    SCOPED_TRACE(answers);
    Recorded record;
    record.answersLeft = answers;
    PackWith(src, zip, 2, &record);
    EXPECT_EQ(zft::EntryNames(zft::CheckArchive(zip)), record.added);
  }
  for (std::uint64_t limit : {std::uint64_t{1} << 16, std::uint64_t{expected.size() - 1000}}) {
    if (zft::kThreadSanitizedBuild && limit != std::uint64_t{1} << 16) continue;
    zf::ZipWriter* writer = nullptr;
    ASSERT_EQ(zf::OpenArchive(zip.c_str(), &writer), zf::ErrNone);
    const zft::FileSizeLimit full(limit);
    zf::AddFolderTree(writer, src.c_str(), src.c_str(), 2, nullptr, zip.c_str());
    EXPECT_EQ(zf::CloseArchive(writer), zf::ErrWrite);
  }
}

// Callers on several threads, each packing its own archive of one tree.
TEST(ParallelPack, ArchivesOfOneTreePackedAtOnceAreIdentical) {
  zft::ScratchDir dir;
  zft::MakeDirs(dir.Path("src/sub"));
  zft::WriteFile(dir.Path("src/text.txt"), std::string(70000, 't') + "end");
  zft::WriteFile(dir.Path("src/sub/noise.bin"), zft::RandomBytes(50000, 8));
  zft::WriteFile(dir.Path("src/sub/kept.gz"), zft::RandomBytes(3000, 9));
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::vector<std::int32_t> codes(kThreads, -1);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::string zip = dir.Path("out" + std::to_string(i) + ".zip");
      codes[static_cast<std::size_t>(i)] =
          zf::PackFolder(dir.Path("src").c_str(), zip.c_str(), nullptr);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(codes, std::vector<std::int32_t>(kThreads, zf::ErrNone));
  const auto first = zft::ReadFile(dir.Path("out0.zip"));
  EXPECT_EQ(zft::CheckArchive(dir.Path("out0.zip")).entries.size(), 3u);
  for (int i = 1; i < kThreads; ++i) {
    EXPECT_EQ(zft::ReadFile(dir.Path("out" + std::to_string(i) + ".zip")), first) << i;
  }
}

}  // namespace
