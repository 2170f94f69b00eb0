// The command-line tool and the shared library, used from outside as a user
// or a host program would.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "entry/report.h"
#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

using zft::Quote;
using zft::RunCommand;
using zft::ScratchDir;

using zft::Tool;

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

  // Only the three functions of the header are exported.
  const auto symbols = RunCommand("nm -D --defined-only " + Quote(ZIPFOLDER_LIBRARY_PATH));
  EXPECT_EQ(symbols.status, 0);
  EXPECT_NE(symbols.output.find(" T CompFilesToZipFile\n"), std::string::npos) << symbols.output;
  EXPECT_NE(symbols.output.find(" T CompFilesToZipFileEx\n"), std::string::npos) << symbols.output;
  EXPECT_NE(symbols.output.find(" T ZipFolderStatusText\n"), std::string::npos) << symbols.output;
  EXPECT_EQ(std::count(symbols.output.begin(), symbols.output.end(), '\n'), 3) << symbols.output;
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
                             "\n2 entries, 4.9 KiB read, archive "}) {
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
  // Starts as an archive does, so that the tool takes it for one.
  const std::string old = "PK\x05\x06 the user's old archive";
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

TEST(Tool, ReplacesOnlyWhatLooksLikeAnArchive) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/a.txt"), "a");
  struct Case {
    const char* what;
    std::string before;
    std::string options;
    int status;
  };
  const Case cases[] = {
      {"text", "notes\n", "", 2},
      {"short", "PK", "", 2},
      {"forced", "notes\n", "--force ", 0},
      {"empty", "", "", 0},
      {"archive", "PK\x03\x04old", "", 0},
      {"empty archive", std::string("PK\x05\x06", 4) + std::string(18, '\0'), "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string target = dir.Path("notes.txt");
    zft::WriteFile(target, c.before);
    const auto run = RunCommand(Tool(c.options + Quote(dir.Path("src")) + " " + Quote(target)));
    EXPECT_EQ(run.status, c.status) << run.output;
    const auto after = zft::ReadFile(target);
    if (c.status == 2) {
      EXPECT_NE(run.output.find("is not a ZIP archive"), std::string::npos) << run.output;
      EXPECT_EQ(std::string(after.begin(), after.end()), c.before);
    } else {
      EXPECT_EQ(zft::EntryNames(zft::CheckArchive(target)), std::vector<std::string>{"a.txt"});
    }
  }
}

// A link to the process's own descriptors reaches the archive being written
// (a file with no name yet) and the spill files of the workers: neither is
// ever packed, or the archive would grow as fast as it packs itself.
TEST(Tool, NeverPacksItsOwnOutput) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/big.bin"), zft::RandomBytes(3 << 20, 7));
  ASSERT_EQ(symlink("/proc/self/fd", dir.Path("src/fd").c_str()), 0);
  const std::string zip = dir.Path("out.zip");
  const std::string pack = "</dev/null timeout 120 " + Tool("--sort -q ");
  const std::string src = Quote(dir.Path("src")) + " ";
  const std::string cases[] = {
      pack + "-T 1 " + src + Quote(zip),
      pack + "-T 4 " + src + Quote(zip),
      pack + "-T 1 " + src + "- | cat >" + Quote(zip),
      pack + "-T 4 " + src + "- | cat >" + Quote(zip),
  };
  for (const std::string& command : cases) {
    SCOPED_TRACE(command);
    const auto run = RunCommand("bash -o pipefail -c " + Quote(command));
    // The pipe and /dev/null behind the other descriptors are no files.
    EXPECT_TRUE(run.status == 0 || run.status == 3) << run.output;
    const auto archive = zft::ParseArchive(zip);
    ASSERT_NE(zft::FindEntry(archive, "big.bin"), nullptr);
    for (const auto& entry : archive.entries) {
      const auto content = zft::EntryContent(entry);
      EXPECT_FALSE(content.size() >= 4 && content[0] == 'P' && content[1] == 'K' &&
                   content[2] == 3 && content[3] == 4)
          << entry.name;
    }
  }
}

// Each entry keeps its own POSIX mode, restored by readers we did not
// write; --no-unix-modes gives the modes made up from the attributes.
TEST(Tool, KeepsEachEntrysMode) {
  if (RunCommand("command -v bsdtar").status != 0) GTEST_SKIP() << "no bsdtar";
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/bin"));
  zft::WriteFile(dir.Path("src/bin/run.sh"), "#!/bin/sh\necho hi\n");
  zft::WriteFile(dir.Path("src/ro.txt"), "read only");
  ASSERT_EQ(symlink("bin/run.sh", dir.Path("src/link").c_str()), 0);
  chmod(dir.Path("src/bin/run.sh").c_str(), 0755);
  chmod(dir.Path("src/ro.txt").c_str(), 0444);
  chmod(dir.Path("src/bin").c_str(), 0750);
  const std::string zip = dir.Path("out.zip");
  const std::string pack = Tool("-q --symlinks --folders=all --sort ");
  ASSERT_EQ(RunCommand(pack + Quote(dir.Path("src")) + " " + Quote(zip)).status, 0);
  zft::CheckArchive(zip);
  struct Case {
    const char* name;  // in the archive
    std::uint32_t mode;
  };
  const Case cases[] = {
      {"bin/", 040750}, {"bin/run.sh", 0100755}, {"link", 0120777}, {"ro.txt", 0100444}};
  const auto listed =
      RunCommand(std::string(ZIPFOLDER_PYTHON) + " -c " +
                 Quote("import sys, zipfile\n"
                       "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                       "  print(i.filename, i.create_system, oct(i.external_attr >> 16))") +
                 " " + Quote(zip));
  for (const char* reader : {"unzip -q", "bsdtar -xf"}) {
    SCOPED_TRACE(reader);
    const std::string out = dir.Path(std::string("out-") + reader[0]);
    zft::MakeDirs(out);
    const auto run = RunCommand("cd " + Quote(out) + " && " + reader + " " + Quote(zip));
    ASSERT_EQ(run.status, 0) << run.output;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      struct stat info {};
      ASSERT_EQ(lstat((out + "/" + c.name).c_str(), &info), 0);
      EXPECT_EQ(info.st_mode, c.mode);
      char expected[64];
      std::snprintf(expected, sizeof expected, "%s 3 0o%o\n", c.name, c.mode);
      EXPECT_NE(listed.output.find(expected), std::string::npos) << listed.output;
    }
  }
  ASSERT_EQ(
      RunCommand(pack + "--no-unix-modes " + Quote(dir.Path("src")) + " " + Quote(zip)).status, 0);
  const auto made = zft::ParseArchive(zip);
  EXPECT_EQ(zft::FindEntry(made, "bin/run.sh")->externalAttributes, 0x81800020u);
  EXPECT_EQ(zft::FindEntry(made, "bin/run.sh")->versionMadeBy >> 8, 11);
}

TEST(Tool, ProgressLineOnlyOnATerminal) {
  if (RunCommand("script -qc true /dev/null").status != 0) GTEST_SKIP() << "no script(1)";
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/big.gz"), zft::RandomBytes(3 << 20, 5));
  const std::string pack = Tool(Quote(dir.Path("src")) + " " + Quote(dir.Path("out.zip")));
  const auto onTerminal = RunCommand("script -qec " + Quote(pack) + " /dev/null");
  EXPECT_EQ(onTerminal.status, 0) << onTerminal.output;
  EXPECT_TRUE(std::regex_search(onTerminal.output,
                                std::regex("\r +[0-9]+%  [01]/1 files  .*/s  .* left  big\\.gz")))
      << onTerminal.output;
  const auto toFile = RunCommand(pack + " 2>" + Quote(dir.Path("err.txt")));
  EXPECT_EQ(toFile.status, 0);
  EXPECT_TRUE(zft::ReadFile(dir.Path("err.txt")).empty());
  EXPECT_EQ(toFile.output.find('%'), std::string::npos) << toFile.output;
}

// What the tool and the reporting call must survive: closed streams, signals,
// names that try to forge output, and odd archive paths.

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Text(const std::string& path) {
  const auto bytes = zft::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Tool, ClosedStandardStreamsGetNothingIntoTheArchive) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  std::string lines;
  for (int i = 1; i <= 50000; ++i) lines += std::to_string(i) + "\n";
  zft::WriteFile(dir.Path("src/a.txt"), lines);
  ASSERT_EQ(mkfifo(dir.Path("src/pipe").c_str(), 0644), 0);  // a "left out" line on stderr
  for (const char* closed : {">&-", "2>&-", "<&- >&- 2>&-"}) {
    SCOPED_TRACE(closed);
    const std::string zip = dir.Path("out.zip");
    const auto run = RunCommand("{ " + Tool("-v " + Quote(dir.Path("src")) + " " + Quote(zip)) +
                                " " + closed + "; echo status $?; }");
    EXPECT_NE(run.output.find("status 3\n"), std::string::npos) << run.output;
    EXPECT_EQ(zft::EntryNames(zft::CheckArchive(zip)), std::vector<std::string>{"a.txt"});
  }
}

// A run ended by a signal leaves the archive that was there, and nothing
// else: a catchable signal removes the unfinished file, and where the
// system allows it that file never had a name, which SIGKILL needs.
TEST(Tool, EndingSignalsLeaveTheOldArchiveAndNothingElse) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  for (int i = 0; i < 24; ++i) {
    zft::WriteFile(dir.Path("src/f" + std::to_string(i) + ".txt"), zft::RandomBytes(400000, i));
  }
  zft::MakeDirs(dir.Path("out"));
  const std::string zip = dir.Path("out/out.zip");
  const std::string listing = dir.Path("listing");
  ASSERT_EQ(mkfifo(listing.c_str(), 0600), 0);
  const std::pair<std::string, int> cases[] = {
      {"TERM", 143}, {"HUP", 129}, {"PIPE", 141}, {"KILL", 137}};
  for (const auto& [signal, status] : cases) {
    SCOPED_TRACE(signal);
    zft::WriteFile(zip, "PK\x05\x06 the old archive");
    // Signalled once it has listed its first file; reading no more than
    // that line is what raises SIGPIPE.
    const std::string reader = signal == "PIPE"
                                   ? "read -r line"
                                   : "read -r line; kill -s " + signal + " $pid; cat >/dev/null";
    const auto run =
        RunCommand("{ " + Tool("-v -T 1 " + Quote(dir.Path("src")) + " " + Quote(zip)) + " >" +
                   Quote(listing) + " & pid=$!; { " + reader + "; } <" + Quote(listing) +
                   "; wait $pid; echo status $?; }");
    EXPECT_NE(run.output.find("status " + std::to_string(status) + "\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(Text(zip), "PK\x05\x06 the old archive");
    EXPECT_EQ(NamesIn(dir.Path("out")), std::vector<std::string>{"out.zip"});
  }
}

// Temporary files a killed run of any version left beside an archive inside
// its source are neither in the way nor packed.
TEST(Tool, StaleTemporaryFilesAreNeitherInTheWayNorPacked) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/a.txt"), "a");
  char name[64];
  for (unsigned i = 0; i < 200; ++i) {
    std::snprintf(name, sizeof name, i < 100 ? "src/out.zip.zf%02u.tmp" : "src/out.zip.zf%08x.tmp",
                  i < 100 ? i : i * 2654435761u);
    zft::WriteFile(dir.Path(name), "half an archive");
  }
  const auto run = RunCommand(Tool(Quote(dir.Path("src")) + " " + Quote(dir.Path("src/out.zip"))));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(zft::EntryNames(zft::CheckArchive(dir.Path("src/out.zip"))),
            std::vector<std::string>{"a.txt"});
}

// No name reaches the terminal raw: control characters and bytes that are
// not UTF-8 are escaped, so no line can be forged. Events carry valid UTF-8.
TEST(Tool, NamesArePrintedEscapedAndPassedAsUtf8) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  const std::pair<std::string, std::string> names[] = {
      {"a\nzipfolder: all files packed, nothing left out", "a\\nzipfolder: all files packed"},
      {"colour\x1b[31m.txt", "colour\\x1b[31m.txt (stored"},
      {"latin\xe9.txt", "latin\xef\xbf\xbd.txt (stored"},  // as the event has it
      {"c1\xc2\x9b.txt", "c1\\xc2\\x9b.txt (stored"},
      {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt (stored"},
      {"back\\slash", "left out " + dir.Path("src/back\\\\slash") + ": "},
  };
  for (const auto& [file, shown] : names) zft::WriteFile(dir.Path("src/" + file), "x");
  const auto run =
      RunCommand(Tool("-v " + Quote(dir.Path("src")) + " " + Quote(dir.Path("out.zip"))));
  EXPECT_EQ(run.status, 3) << run.output;
  for (const auto& [file, shown] : names) {
    EXPECT_NE(run.output.find(shown), std::string::npos) << shown << "\n" << run.output;
  }
  EXPECT_EQ(run.output.find('\x1b'), std::string::npos);
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 7) << run.output;

  std::vector<std::string> added;
  ZipFolderOptions options{};
  options.size = sizeof options;
  options.context = &added;
  options.callback = [](void* context, const ZipFolderEvent* event) {
    if (event->kind == ZIPFOLDER_EVENT_ADDED) {
      static_cast<std::vector<std::string>*>(context)->push_back(event->name);
    }
    return 0;
  };
  EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), dir.Path("out.zip").c_str(), &options),
            ZIPFOLDER_DONE_LEFT_OUT);
  std::sort(added.begin(), added.end());
  EXPECT_EQ(added, (std::vector<std::string>{"a\nzipfolder: all files packed, nothing left out",
                                             "c1\xc2\x9b.txt", "caf\xc3\xa9.txt",
                                             "colour\x1b[31m.txt", "latin\xef\xbf\xbd.txt"}));
}

// The archive path as users give it: a long name, a folder, a link, an
// archive of their own with its permissions, a source whose listing fails.
TEST(Tool, ArchivePathsAreTakenAsGiven) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/a.txt"), "a");
  const std::string src = Quote(dir.Path("src")) + " ";

  const std::string longName = dir.Path(std::string(251, 'n') + ".zip");  // 255 bytes
  auto run = RunCommand(Tool(src + Quote(longName)));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(zft::EntryNames(zft::CheckArchive(longName)), std::vector<std::string>{"a.txt"});

  zft::MakeDirs(dir.Path("folder.zip"));
  run = RunCommand(Tool(src + Quote(dir.Path("folder.zip"))));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("'" + dir.Path("folder.zip") + "': is a directory\n"),
            std::string::npos)
      << run.output;

  // A link is written through, by the tool as by CompFilesToZipFile.
  zft::MakeDirs(dir.Path("elsewhere"));
  ASSERT_EQ(symlink("elsewhere/real.zip", dir.Path("link.zip").c_str()), 0);
  run = RunCommand(Tool(src + Quote(dir.Path("link.zip"))));
  EXPECT_EQ(run.status, 0) << run.output;
  struct stat info {};
  ASSERT_EQ(lstat(dir.Path("link.zip").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(zft::EntryNames(zft::CheckArchive(dir.Path("elsewhere/real.zip"))),
            std::vector<std::string>{"a.txt"});

  const std::string own = dir.Path("own.zip");
  zft::WriteFile(own, "PK\x03\x04mine");
  chmod(own.c_str(), 0640);
  run = RunCommand(Tool(src + Quote(own)));
  EXPECT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(stat(own.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  // Listed once, the source then cannot be listed for want of descriptors:
  // nothing is replaced. Which limit meets the listing depends on what the
  // process holds open at start (a sanitizer's runtime holds some); at the
  // lowest, the loader cannot start it (127).
  const auto before = zft::ReadFile(own);
  int unlisted = 0;
  for (int limit = 4; limit <= 12; ++limit) {
    run =
        RunCommand("{ ulimit -n " + std::to_string(limit) + "; " + Tool(src + Quote(own)) + "; }");
    EXPECT_TRUE(run.status == 0 || run.status == 1 || run.status == 127) << run.output;
    unlisted += run.status == 1 && run.output.find("cannot read the folder") != std::string::npos;
    EXPECT_EQ(zft::ReadFile(own), before);  // the same archive when one was made
  }
  EXPECT_GT(unlisted, 0);
}

}  // namespace
