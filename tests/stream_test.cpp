// Archives written where nothing can seek: standard output, pipes, FIFOs and
// the caller's write callback. Deflated entries there carry data
// descriptors, stored ones their values in the local header; the
// archive must read as the file written from the same tree does, in readers
// that use the central directory and in one that reads forward only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <utility>
#include <vector>

#include "entry/report.h"
#include "support/test_files.h"
#include "support/zip_check.h"
#include "zipfolder.h"
#include "zipwriter/zip_writer.h"

namespace {

using zft::Quote;
using zft::RunCommand;
using zft::ScratchDir;

// Stored, deflated, empty, nested, a non-ASCII name, and one past a buffer.
const std::vector<std::string> kTree = {"a.txt",          "sub/b.gz", "sub/empty.txt",
                                        "sub/deeper/c.c", "ünï.txt",  "big.bin"};

// The archive records access times too, which reading the sources here
// moves: every pack that is compared starts from the same times.
void ResetTimes(const ScratchDir& dir) {
  for (const auto& name : kTree) zft::SetModifyTime(dir.Path("src/" + name), 1700000000);
}

void MakeTree(const ScratchDir& dir) {
  zft::MakeDirs(dir.Path("src/sub/deeper"));
  zft::WriteFile(dir.Path("src/a.txt"), std::string(3000, 'a') + "end\n");
  zft::WriteFile(dir.Path("src/sub/b.gz"), zft::RandomBytes(5000, 3));
  zft::WriteFile(dir.Path("src/sub/empty.txt"), "");
  zft::WriteFile(dir.Path("src/sub/deeper/c.c"), "int main() { return 0; }\n");
  zft::WriteFile(dir.Path("src/ünï.txt"), "unicode\n");
  auto big = zft::RandomBytes(200000, 5);
  for (std::size_t i = 0; i < big.size(); i += 3) big[i] = 'x';  // compressible, in part
  zft::WriteFile(dir.Path("src/big.bin"), big);
  ResetTimes(dir);
}

using zft::Tool;

// Every deflated entry of the streamed archive carries bit 3, no stored one
// does, and each reads back to the bytes of its file; the list of names is
// the tree's.
void ExpectTreeStreamed(const zft::ParsedArchive& archive, const ScratchDir& dir) {
  ASSERT_EQ(archive.entries.size(), kTree.size());
  for (const auto& e : archive.entries) {
    EXPECT_EQ(e.flags & 8, e.method == 8 ? 8 : 0) << e.name;
    EXPECT_EQ(zft::EntryContent(e), zft::ReadFile(dir.Path("src/" + e.name))) << e.name;
  }
}

TEST(Streaming, StandardOutputPipesAndFifosGetOneArchiveAtAnyThreadCount) {
  ScratchDir dir;
  MakeTree(dir);
  const std::string src = Quote(dir.Path("src"));
  const std::string a = dir.Path("a.zip");
  auto run = RunCommand("{ " + Tool("-v " + src + " - > " + Quote(a)) + "; }");
  ASSERT_EQ(run.status, 0) << run.output;
  // The listing and the summary went to stderr, around the archive.
  EXPECT_NE(run.output.find("6 entries"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("sub/b.gz (stored"), std::string::npos) << run.output;
  const auto archive = zft::CheckArchive(a);
  ExpectTreeStreamed(archive, dir);
  zft::CheckWithMoreReaders(a, kTree.size());

  const std::string fifo = dir.Path("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string b = Quote(dir.Path("b.zip"));
  for (const std::string& command :
       {Tool("-q " + src + " - | cat > " + b), Tool("-q -T 1 " + src + " - > " + b),
        Tool("-q -T 4 " + src + " - > " + b),
        "(cat " + Quote(fifo) + " > " + b + " &) && timeout 20 " +
            Tool("-q -T 3 " + src + " " + Quote(fifo)) + " && sleep 0.2"}) {
    ResetTimes(dir);
    run = RunCommand("{ " + command + "; }");
    EXPECT_EQ(run.status, 0) << command << "\n" << run.output;
    EXPECT_EQ(zft::ReadFile(dir.Path("b.zip")), zft::ReadFile(a)) << command;
  }

  // A reader that reads forward only gets every file to its bytes.
  zft::MakeDirs(dir.Path("out"));
  run = RunCommand("cd " + Quote(dir.Path("out")) + " && bsdtar -xf - < " + Quote(a));
  EXPECT_EQ(run.status, 0) << run.output;
  for (const auto& name : kTree) {
    EXPECT_EQ(zft::ReadFile(dir.Path("out/" + name)), zft::ReadFile(dir.Path("src/" + name)))
        << name;
  }
}

// Folder and link entries carry no descriptor, and a deflated entry's
// header names the level before the compressor has run: bits 1 and 2 as
// the file written at the same level has them.
TEST(Streaming, FoldersLinksAndLevelBitsAreAsInAFile) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/a/empty"));
  zft::WriteFile(dir.Path("src/a/f.txt"), std::string(2000, 'f'));
  ASSERT_EQ(symlink("f.txt", dir.Path("src/a/l").c_str()), 0);
  const std::string src = Quote(dir.Path("src"));
  for (const auto& [level, bits] :
       std::vector<std::pair<int, int>>{{1, 4}, {5, 0}, {9, 2}, {0, 0}}) {
    const std::string digit = std::to_string(level);
    const std::string options = "-q --folders=all --symlinks -" + digit + " ";
    const std::string streamed = dir.Path(digit + "s.zip");
    const std::string file = dir.Path(digit + "f.zip");
    auto run = RunCommand(Tool(options + src + " - | cat > " + Quote(streamed)));
    ASSERT_EQ(run.status, 0) << run.output;
    run = RunCommand(Tool(options + src + " " + Quote(file)));
    ASSERT_EQ(run.status, 0) << run.output;
    const auto archive = zft::CheckArchive(streamed);
    const auto written = zft::ParseArchive(file);
    ASSERT_EQ(archive.entries.size(), 4u);
    ASSERT_EQ(written.entries.size(), 4u);
    for (std::size_t i = 0; i < archive.entries.size(); ++i) {
      const auto& e = archive.entries[i];
      EXPECT_EQ(e.flags & 8, e.method == 8 ? 8 : 0) << e.name;
      EXPECT_EQ(e.localFlags, e.flags) << e.name;
      EXPECT_EQ(e.flags & 6, e.method == 8 ? bits : 0) << level << " " << e.name;
      EXPECT_EQ(e.flags & ~8, written.entries[i].flags) << e.name;
      EXPECT_EQ(e.externalAttributes, written.entries[i].externalAttributes) << e.name;
      EXPECT_EQ(e.versionMadeBy, written.entries[i].versionMadeBy) << e.name;
      EXPECT_EQ(zft::EntryContent(e), zft::EntryContent(written.entries[i])) << e.name;
    }
  }
  // A reader that reads forward only restores the link and the empty folder.
  zft::MakeDirs(dir.Path("out"));
  const auto run = RunCommand("cd " + Quote(dir.Path("out")) + " && bsdtar -xf - < " +
                              Quote(dir.Path("9s.zip")));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("out/a/l")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path("out/a/empty")));
}

TEST(Streaming, TheToolRefusesATerminalAndSaysAStreamIsIncomplete) {
  ScratchDir dir;
  MakeTree(dir);
  const std::string src = Quote(dir.Path("src"));
  // script gives the tool a terminal as its standard output.
  auto run = RunCommand("script -qec " + Quote(Tool(src + " -")) + " /dev/null");
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.output.find("terminal"), std::string::npos) << run.output;
  run = RunCommand(Tool("-q " + src + " /dev/full"));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("'/dev/full' is incomplete"), std::string::npos) << run.output;
}

struct Memory {
  std::vector<std::uint8_t> bytes;
  std::size_t failAfter = ~std::size_t{0};  // bytes taken before the callback fails
};

int ZIPFOLDER_CALL Keep(void* context, const void* bytes, std::size_t length) {
  auto* memory = static_cast<Memory*>(context);
  if (memory->bytes.size() + length > memory->failAfter) return 1;
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  memory->bytes.insert(memory->bytes.end(), data, data + length);
  return 0;
}

struct Ending {
  std::int32_t kind = 0;
  std::string name;
  std::string reason;
  std::uint64_t size = 0;
};

int ZIPFOLDER_CALL NoteEnd(void* context, const ZipFolderEvent* event) {
  if (event->kind == ZIPFOLDER_EVENT_FINISHED || event->kind == ZIPFOLDER_EVENT_FAILED) {
    auto* ending = static_cast<Ending*>(context);
    *ending =
        Ending{event->kind, event->name, event->reasonText ? event->reasonText : "", event->size};
  }
  return 0;
}

TEST(Streaming, TheWriteCallbackGetsTheArchiveOfTheFileAndItsFailureStopsTheCall) {
  ScratchDir dir;
  MakeTree(dir);
  const std::string file = dir.Path("file.zip");
  ASSERT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), file.c_str(), nullptr),
            ZIPFOLDER_DONE);
  const auto fromFile = zft::CheckArchive(file);

  std::vector<std::uint8_t> first;
  for (std::uint32_t threads : {0u, 3u}) {
    Memory memory;
    Ending ending;
    ZipFolderOptions options{};
    options.size = sizeof options;
    options.callback = NoteEnd;
    options.context = &ending;
    options.threads = threads;
    options.write = Keep;
    options.writeContext = &memory;
    ASSERT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), nullptr, &options), ZIPFOLDER_DONE);
    EXPECT_EQ(ending.kind, ZIPFOLDER_EVENT_FINISHED);
    EXPECT_EQ(ending.size, memory.bytes.size());
    if (threads == 0) first = memory.bytes;
    EXPECT_EQ(memory.bytes, first) << threads << " threads";
  }
  zft::WriteFile(dir.Path("memory.zip"), first);
  const auto streamed = zft::CheckArchive(dir.Path("memory.zip"));
  ExpectTreeStreamed(streamed, dir);
  ASSERT_EQ(zft::EntryNames(streamed), zft::EntryNames(fromFile));
  for (std::size_t i = 0; i < streamed.entries.size(); ++i) {
    const auto& s = streamed.entries[i];
    const auto& f = fromFile.entries[i];
    EXPECT_EQ(s.data, f.data) << s.name;
    EXPECT_EQ(std::make_tuple(s.crc, s.size, s.compressedSize, s.method, s.externalAttributes),
              std::make_tuple(f.crc, f.size, f.compressedSize, f.method, f.externalAttributes));
  }

  // The C example streams the same archive into its memory.
  ResetTimes(dir);
  const auto example = RunCommand(std::string(ZIPFOLDER_STREAM_EXAMPLE_PATH) + " " +
                                  Quote(dir.Path("src")) + " " + Quote(dir.Path("c.zip")));
  EXPECT_EQ(example.status, 0) << example.output;
  EXPECT_EQ(zft::ReadFile(dir.Path("c.zip")), first);

  // Cancelled, the stream ends without a directory: no reader takes what
  // it got for a whole archive of fewer files.
  {
    Memory memory;
    ZipFolderOptions options{};
    options.size = sizeof options;
    options.callback = [](void*, const ZipFolderEvent* event) {
      return event->kind == ZIPFOLDER_EVENT_ADDED ? 1 : 0;
    };
    options.write = Keep;
    options.writeContext = &memory;
    EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), nullptr, &options),
              ZIPFOLDER_CANCELLED);
    const std::vector<std::uint8_t> end = {0x50, 0x4B, 0x05, 0x06};
    EXPECT_EQ(std::search(memory.bytes.begin(), memory.bytes.end(), end.begin(), end.end()),
              memory.bytes.end());
  }

  // A callback that fails midway, or at once, fails the call; the name
  // given is only the archive's in the events, never a file.
  for (std::size_t failAfter : {std::size_t{0}, first.size() / 2, first.size() - 1}) {
    Memory memory;
    memory.failAfter = failAfter;
    Ending ending;
    ZipFolderOptions options{};
    options.size = sizeof options;
    options.callback = NoteEnd;
    options.context = &ending;
    options.write = Keep;
    options.writeContext = &memory;
    const std::string named = dir.Path("named.zip");
    EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), named.c_str(), &options),
              ZIPFOLDER_WRITE_FAILED)
        << failAfter;
    EXPECT_EQ(ending.kind, ZIPFOLDER_EVENT_FAILED);
    EXPECT_EQ(ending.name, named);
    EXPECT_NE(ending.reason, "");
    EXPECT_FALSE(zft::Exists(named));
  }
}

// A memory sink on the writer itself: classic limits lowered to reach every
// ZIP64 form, and a file that grows while it is read.
bool KeepInVector(void* context, const std::uint8_t* data, std::uint32_t count) {
  auto* bytes = static_cast<std::vector<std::uint8_t>*>(context);
  bytes->insert(bytes->end(), data, data + count);
  return true;
}

TEST(Streaming, LoweredLimitsTakeEveryZip64FormWithWideDescriptors) {
  ScratchDir dir;
  MakeTree(dir);
  struct Limits {
    std::uint64_t size;
    std::uint64_t count;
  };
  for (const Limits limits : {Limits{1000, 0xFFFF}, Limits{0xFFFFFFFF, 3}, Limits{100, 2}}) {
    std::vector<std::uint8_t> bytes;
    zf::ZipWriter* writer = nullptr;
    ASSERT_EQ(zf::OpenArchiveOn(zf::FunctionSink(KeepInVector, &bytes), &writer), zf::ErrNone);
    writer->ownChoices.classicSizeMax = limits.size;
    writer->ownChoices.classicCountMax = limits.count;
    for (const auto& name : kTree) {
      EXPECT_EQ(zf::AddEntry(writer, dir.Path("src/" + name).c_str(), name.c_str()), zf::ErrNone);
    }
    ASSERT_EQ(zf::CloseArchive(writer), zf::ErrNone);
    zft::WriteFile(dir.Path("limits.zip"), bytes);
    SCOPED_TRACE(std::to_string(limits.size) + " " + std::to_string(limits.count));
    const auto archive = zft::CheckArchive(dir.Path("limits.zip"));
    ExpectTreeStreamed(archive, dir);
    EXPECT_TRUE(archive.zip64End);
  }
}

struct Grower {
  std::string path;
  bool grown = false;
};

bool GrowOnce(void* context, std::uint32_t) {
  auto* grower = static_cast<Grower*>(context);
  if (!grower->grown) {
    const auto more = zft::ReadFile(grower->path);
    auto twice = more;
    twice.insert(twice.end(), more.begin(), more.end());
    zft::WriteFile(grower->path, twice);
    grower->grown = true;
  }
  return true;
}

// Readers that read forward only meet every entry: Java's, which refuses a
// descriptor after stored data, at one thread and at four, and funzip,
// which reads the first entry, stored here.
TEST(Streaming, ForwardOnlyReadersReadEveryEntry) {
  if (RunCommand("command -v java && command -v funzip").status != 0) {
    GTEST_SKIP() << "needs java (openjdk-17-jdk-headless) and funzip (unzip)";
  }
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/sub/empty"));
  zft::WriteFile(dir.Path("src/a.gz"), zft::RandomBytes(3000, 1));
  zft::WriteFile(dir.Path("src/sub/big.gz"), zft::RandomBytes(300000, 2));
  zft::WriteFile(dir.Path("src/sub/empty.txt"), "");
  zft::WriteFile(dir.Path("src/text.txt"), std::string(5000, 't'));
  ASSERT_EQ(symlink("text.txt", dir.Path("src/link").c_str()), 0);
  const std::string check =
      "java " + Quote(std::string(ZIPFOLDER_SOURCE_DIR) + "/tests/support/ZipStreamCheck.java");
  for (const char* threads : {"1", "4"}) {
    SCOPED_TRACE(threads);
    // Packing moves access times; the ceiling keeps them out of the archive.
    const std::string zip = dir.Path(std::string("s") + threads + ".zip");
    const auto run = RunCommand(Tool("-q --sort --symlinks --folders=all --mtime-ceiling=1 -T " +
                                     std::string(threads) + " " + Quote(dir.Path("src")) +
                                     " - | cat > " + Quote(zip)));
    ASSERT_EQ(run.status, 0) << run.output;
    std::string expected;
    for (const auto& e : zft::CheckArchive(zip).entries) {
      char line[300];
      std::snprintf(line, sizeof line, "%s\t%llu\t%08x\n", e.name.c_str(),
                    static_cast<unsigned long long>(e.size), e.crc);
      expected += line;
    }
    EXPECT_EQ(RunCommand(check + " < " + Quote(zip)).output, expected);
    EXPECT_EQ(
        RunCommand("funzip < " + Quote(zip) + " 2>/dev/null | cmp - " + Quote(dir.Path("src/a.gz")))
            .status,
        0);
  }
  EXPECT_EQ(zft::ReadFile(dir.Path("s1.zip")), zft::ReadFile(dir.Path("s4.zip")));
}

// A deflated file's form is settled at open: grown past it, it fails the
// archive. A stored one, read for its CRC before its header, is found
// changed when read again, and left out while its bytes are still held.
TEST(Streaming, AFileThatGrowsPastItsFormFailsTheArchive) {
  ScratchDir dir;
  const std::tuple<const char*, std::int32_t, std::int32_t> cases[] = {
      {"grows.txt", zf::ErrStreamBroken, zf::ErrTooLarge}, {"grows.gz", zf::ErrChanged, 0}};
  for (const auto& [name, added, brokenBy] : cases) {
    zft::WriteFile(dir.Path(name), zft::RandomBytes(30000, 9));
    std::vector<std::uint8_t> bytes;
    zf::ZipWriter* writer = nullptr;
    ASSERT_EQ(zf::OpenArchiveOn(zf::FunctionSink(KeepInVector, &bytes), &writer), zf::ErrNone);
    writer->ownChoices.classicSizeMax = 50000;  // the file at open fits, grown it does not
    Grower grower{dir.Path(name)};
    writer->readHook = GrowOnce;
    writer->readHookContext = &grower;
    EXPECT_EQ(zf::AddEntry(writer, dir.Path(name).c_str(), name), added) << name;
    EXPECT_EQ(writer->failure.brokenBy, brokenBy);
    EXPECT_EQ(zf::CloseArchive(writer), brokenBy == 0 ? zf::ErrNone : zf::ErrStreamBroken);
  }
}

}  // namespace
