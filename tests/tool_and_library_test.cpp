// The command-line tool and the shared library, used from outside as a user
// or a host program would.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

using zft::Quote;
using zft::RunCommand;
using zft::ScratchDir;

std::string Tool(const std::string& arguments) {
  return std::string(ZIPFOLDER_TOOL_PATH) + " " + arguments;
}

TEST(Tool, PacksAndSummarises) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/sub"));
  zft::WriteFile(dir.Path("src/a.txt"), std::string(1000, 'a'));
  zft::WriteFile(dir.Path("src/sub/b.gz"), "bbb");
  const std::string zip = dir.Path("out.zip");
  const auto result = RunCommand(Tool(Quote(dir.Path("src")) + " " + Quote(zip)));
  EXPECT_EQ(result.status, 0) << result.output;
  const auto archive = zft::CheckArchive(zip);
  EXPECT_TRUE(std::regex_match(
      result.output,
      std::regex("2 entries, 1003 bytes read, archive " + std::to_string(archive.fileSize) +
                 " bytes, 0 left out, [0-9]+\\.[0-9]{2} s\n")))
      << result.output;
  const auto quiet = RunCommand(Tool("-q " + Quote(dir.Path("src")) + " " + Quote(zip)));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.output, "");
}

TEST(Tool, FailuresExitNonZeroWithOneLine) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  const auto missingFolder =
      RunCommand(Tool(Quote(dir.Path("src")) + " " + Quote(dir.Path("no/x.zip"))));
  EXPECT_NE(missingFolder.status, 0);
  EXPECT_EQ(std::count(missingFolder.output.begin(), missingFolder.output.end(), '\n'), 1)
      << missingFolder.output;
  EXPECT_NE(missingFolder.output.find("cannot create the archive"), std::string::npos);

  // Writing fails past the first kilobyte: a file size limit for the tool.
  zft::WriteFile(dir.Path("src/a.bin"), zft::RandomBytes(5000, 2));
  const auto full = RunCommand("trap '' XFSZ; ulimit -f 1; " +
                               Tool(Quote(dir.Path("src")) + " " + Quote(dir.Path("full.zip"))));
  EXPECT_NE(full.status, 0);
  EXPECT_NE(full.output.find("writing failed"), std::string::npos) << full.output;

  EXPECT_EQ(RunCommand(Tool("")).status, 2);
  EXPECT_EQ(RunCommand(Tool("'' " + Quote(dir.Path("x.zip")))).status, 2);
  EXPECT_FALSE(zft::Exists(dir.Path("x.zip")));
  EXPECT_EQ(RunCommand(Tool("--bogus a b")).status, 2);
  const auto help = RunCommand(Tool("--help"));
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("usage: zipfolder"), std::string::npos);
  EXPECT_EQ(RunCommand(Tool("--version")).output, "zipfolder 1.0.0\n");
  EXPECT_NE(help.output.find("Exit status: 0 every file packed; 3 "), std::string::npos);
}

TEST(Tool, LevelOptions) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "row " + std::to_string(i % 300) + "\n";
  zft::WriteFile(dir.Path("src/a.txt"), text);
  auto pack = [&](const std::string& option, const std::string& name) {
    const auto result =
        RunCommand(Tool("-q " + option + " " + Quote(dir.Path("src")) + " " + Quote(name)));
    EXPECT_EQ(result.status, 0) << option << ": " << result.output;
    return zft::CheckArchive(name).entries.at(0);
  };
  const auto stored = pack("-0", dir.Path("0.zip"));
  EXPECT_EQ(stored.method, 0);
  EXPECT_EQ(stored.compressedSize, text.size());
  const auto fast = pack("-1", dir.Path("1.zip"));
  EXPECT_EQ(fast.flags & 0x0006, 4);
  const auto best = pack("--level=9", dir.Path("9.zip"));
  EXPECT_EQ(best.flags & 0x0006, 2);
  EXPECT_LT(best.compressedSize, fast.compressedSize);
  pack("-8", dir.Path("8.zip"));
  pack("", dir.Path("default.zip"));
  EXPECT_EQ(zft::ReadFile(dir.Path("8.zip")), zft::ReadFile(dir.Path("default.zip")));
  for (const char* bad : {"-10", "--level=", "--level=x", "-1x"}) {
    EXPECT_EQ(RunCommand(Tool(std::string(bad) + " " + Quote(dir.Path("src")) + " " +
                              Quote(dir.Path("bad.zip"))))
                  .status,
              2)
        << bad;
  }
}

TEST(SharedLibrary, LoadsAndPacksFromPythonCtypes) {
  // A Python of another word size cannot load the library (a 32-bit build).
  const auto pointer = RunCommand(std::string(ZIPFOLDER_PYTHON) +
                                  " -c \"import struct; print(struct.calcsize('P'))\"");
  if (pointer.output != std::to_string(sizeof(void*)) + "\n") {
    GTEST_SKIP() << "Python's pointers are of " << pointer.output << " bytes";
  }
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/hello.txt"), "hello from ctypes");
  const std::string script =
      "import ctypes, sys\n"
      "lib = ctypes.CDLL(sys.argv[1])\n"
      "f = lib.CompFilesToZipFile\n"
      "f.argtypes = [ctypes.c_char_p, ctypes.c_char_p]\n"
      "f.restype = None\n"
      "f(sys.argv[2].encode(), sys.argv[3].encode())\n"
      "f(None, sys.argv[4].encode())\n"
      "f(sys.argv[2].encode(), None)\n"
      "f(b'', sys.argv[4].encode())\n";
  zft::WriteFile(dir.Path("call.py"), script);
  const auto result = RunCommand(std::string(ZIPFOLDER_HOST_PRELOAD) + ZIPFOLDER_PYTHON + " " +
                                 Quote(dir.Path("call.py")) + " " + Quote(ZIPFOLDER_LIBRARY_PATH) +
                                 " " + Quote(dir.Path("src")) + " " + Quote(dir.Path("out.zip")) +
                                 " " + Quote(dir.Path("never.zip")));
  EXPECT_EQ(result.status, 0) << result.output;
  const auto archive = zft::CheckArchive(dir.Path("out.zip"));
  ASSERT_EQ(archive.entries.size(), 1u);
  const auto content = zft::EntryContent(archive.entries[0]);
  EXPECT_EQ(std::string(content.begin(), content.end()), "hello from ctypes");
  EXPECT_FALSE(zft::Exists(dir.Path("never.zip")));

  // Only the two functions are exported.
  const auto symbols = RunCommand("nm -D --defined-only " + Quote(ZIPFOLDER_LIBRARY_PATH));
  EXPECT_EQ(symbols.status, 0);
  EXPECT_NE(symbols.output.find(" T CompFilesToZipFile\n"), std::string::npos) << symbols.output;
  EXPECT_NE(symbols.output.find(" T CompFilesToZipFileEx\n"), std::string::npos) << symbols.output;
  EXPECT_EQ(std::count(symbols.output.begin(), symbols.output.end(), '\n'), 2) << symbols.output;
  // Neither the library nor the tool loads the C++ runtime: a megabyte of
  // memory for nothing they use.
  for (const char* binary : {ZIPFOLDER_LIBRARY_PATH, ZIPFOLDER_TOOL_PATH}) {
    const auto needed = RunCommand("nm -D --undefined-only " + Quote(binary));
    EXPECT_EQ(needed.output.find("GLIBCXX"), std::string::npos) << binary << needed.output;
  }
}

// Permission bits do not stop root: the tool then runs as nobody.
std::string Unprivileged(const std::string& command) {
  if (geteuid() != 0) return command;
  return "setpriv --reuid=nobody --regid=nogroup --clear-groups " + command;
}

std::vector<std::string> TempFilesIn(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    if (item.path().extension() == ".tmp") found.push_back(item.path().string());
  }
  return found;
}

TEST(Tool, NamesWhatItLeavesOutAndExitsThree) {
  if (geteuid() == 0 && RunCommand("setpriv --reuid=nobody true").status != 0) {
    GTEST_SKIP() << "cannot run as an unprivileged user";
  }
  ScratchDir dir;
  chmod(dir.Path().c_str(), 0777);  // nobody writes the archive here
  zft::MakeDirs(dir.Path("src/docs"));
  zft::WriteFile(dir.Path("src/a.txt"), std::string(3000, 'a'));
  zft::WriteFile(dir.Path("src/docs/secret.txt"), "secret");
  zft::WriteFile(dir.Path("src/docs/b.gz"), zft::RandomBytes(2000, 3));
  chmod(dir.Path("src/docs/secret.txt").c_str(), 0);
  chmod(dir.Path("src").c_str(), 0777);
  ASSERT_EQ(mkfifo(dir.Path("src/pipe").c_str(), 0644), 0);
  const std::string zip = dir.Path("src/out.zip");  // inside: never packed, never named
  for (const char* option : {"-v", "-q"}) {
    const auto run = RunCommand(
        Unprivileged(Tool(std::string(option) + " " + Quote(dir.Path("src")) + " " + Quote(zip))));
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_NE(run.output.find("zipfolder: left out " + dir.Path("src/docs/secret.txt") +
                              ": permission denied\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(
        run.output.find("zipfolder: left out " + dir.Path("src/pipe") + ": not a regular file\n"),
        std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("out.zip"), std::string::npos) << run.output;
    // The listing and the summary with -v, neither with -q.
    for (const char* line : {"\na.txt (deflated 99%)\n", "\ndocs/b.gz (stored 0%)\n",
                             "\n2 entries, 5000 bytes read, archive "}) {
      EXPECT_EQ(("\n" + run.output).find(line) != std::string::npos, option[1] == 'v')
          << run.output;
    }
    const auto archive = zft::CheckArchive(zip);
    auto names = zft::EntryNames(archive);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "docs/b.gz"}));
  }
  EXPECT_TRUE(TempFilesIn(dir.Path("src")).empty());
}

// A failure creates nothing and leaves an archive already at the target
// exactly as it was.
TEST(Tool, FailureLeavesTheTargetUntouched) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/big.bin"), zft::RandomBytes(200000, 4));
  zft::WriteFile(dir.Path("file.txt"), "not a folder");
  const std::string zip = dir.Path("old.zip");
  const std::string old = "the user's old archive";
  struct Case {
    const char* what;
    std::string command;
    std::string message;
  };
  const Case cases[] = {
      {"missing source", Tool(Quote(dir.Path("none")) + " " + Quote(zip)),
       "cannot read the folder"},
      {"source is a file", Tool(Quote(dir.Path("file.txt")) + " " + Quote(zip)),
       "': not a directory\n"},
      {"file size limit",
       "trap '' XFSZ; ulimit -f 64; " + Tool(Quote(dir.Path("src")) + " " + Quote(zip)),
       "writing failed, '" + zip + "' not written: file too large\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    zft::WriteFile(zip, old);
    const auto run = RunCommand(c.command);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    const auto kept = zft::ReadFile(zip);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), old);
    EXPECT_TRUE(TempFilesIn(dir.Path()).empty());
  }
}

TEST(Tool, ProgressLineOnlyOnATerminal) {
  if (RunCommand("script -qc true /dev/null").status != 0) GTEST_SKIP() << "no script(1)";
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/big.gz"), zft::RandomBytes(3 << 20, 5));
  const std::string pack = Tool(Quote(dir.Path("src")) + " " + Quote(dir.Path("out.zip")));
  const auto onTerminal = RunCommand("script -qec " + Quote(pack) + " /dev/null");
  EXPECT_EQ(onTerminal.status, 0) << onTerminal.output;
  EXPECT_TRUE(std::regex_search(onTerminal.output, std::regex("\r +[0-9]+% .*MB/s  big\\.gz")))
      << onTerminal.output;
  const auto toFile = RunCommand(pack + " 2>" + Quote(dir.Path("err.txt")));
  EXPECT_EQ(toFile.status, 0);
  EXPECT_TRUE(zft::ReadFile(dir.Path("err.txt")).empty());
  EXPECT_EQ(toFile.output.find('%'), std::string::npos) << toFile.output;
}

}  // namespace
