// The command-line tool and the shared library, used from outside as a user
// or a host program would.
#include <gtest/gtest.h>

#include <algorithm>

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
  EXPECT_EQ(result.output,
            "2 entries, 1003 bytes read, archive " + std::to_string(archive.fileSize) + " bytes\n");
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

  // Only the one function is exported.
  const auto symbols = RunCommand("nm -D --defined-only " + Quote(ZIPFOLDER_LIBRARY_PATH));
  EXPECT_EQ(symbols.status, 0);
  EXPECT_NE(symbols.output.find(" T CompFilesToZipFile\n"), std::string::npos) << symbols.output;
  EXPECT_EQ(std::count(symbols.output.begin(), symbols.output.end(), '\n'), 1) << symbols.output;
}

}  // namespace
