// Choosing what goes into the archive: patterns, .gitignore, a name prefix,
// folder and link entries, and a sorted, time-clamped order that gives the
// same archive from the same tree wherever it lies. Mostly through the tool,
// as a user would; every archive goes through four readers we did not write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "entry/name_filter.h"
#include "entry/pack_folder.h"
#include "entry/report.h"
#include "support/test_files.h"
#include "support/zip_check.h"
#include "zipfolder.h"

namespace {

using zft::Quote;
using zft::RunCommand;
using zft::ScratchDir;

using zft::Tool;

// Every reader, then the names sorted.
std::vector<std::string> CheckedNames(const std::string& zip) {
  const auto archive = zft::CheckArchive(zip);
  zft::CheckWithMoreReaders(zip, archive.entries.size());
  auto names = zft::EntryNames(archive);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Permission bits do not stop root: the tool then runs as nobody.
std::string Unprivileged(const std::string& command) {
  if (geteuid() != 0) return command;
  return "setpriv --reuid=nobody --regid=nogroup --clear-groups " + command;
}

void MakeTree(const std::string& root, const std::vector<std::string>& files) {
  for (const auto& file : files) {
    const std::string path = root + "/" + file;
    zft::MakeDirs(path.substr(0, path.rfind('/')));
    zft::WriteFile(path, "content of " + file + "\n");
  }
}

const std::vector<std::string> kPatternTree = {
    "a.txt",          "b.log",         "keep.log",         "BIG.TXT",     "#hash.txt",
    "star*.txt",      "build/out.bin", "docs/build/x.txt", "notes/a.txt", "notes/deep/c.txt",
    "notes/deep/d.md"};

TEST(Selection, PatternsChooseAsGitignoreLinesDo) {
  ScratchDir dir;
  MakeTree(dir.Path("src"), kPatternTree);
  zft::WriteFile(dir.Path("patterns"), "# logs, but one\n\n*.log\r\n!keep.log\n/build/\n");
  struct Case {
    std::string arguments;
    std::vector<std::string> leftOut;  // of kPatternTree; with -i, the files kept instead
    int excluded;                      // as the summary counts them
  };
  const Case cases[] = {
      {"-x '*.log'", {"b.log", "keep.log"}, 2},
      {"-x '*.log' -x '!keep.log'", {"b.log"}, 1},
      {"--exclude='!keep.log' --exclude='*.log'", {"b.log", "keep.log"}, 2},  // the last match wins
      {"-x build/", {"build/out.bin", "docs/build/x.txt"}, 2},                // at any depth
      {"-x /build", {"build/out.bin"}, 1},                                    // anchored
      {"-x docs/build", {"docs/build/x.txt"}, 1},                             // inner "/" anchors
      {"-x a.txt", {"a.txt", "notes/a.txt"}, 2},
      {"-x /a.txt", {"a.txt"}, 1},
      {"-x a.txt/", {}, 0},  // folders only
      {"-x 'notes/**'", {"notes/a.txt", "notes/deep/c.txt", "notes/deep/d.md"}, 2},
      {"-x '**/deep'", {"notes/deep/c.txt", "notes/deep/d.md"}, 1},
      {"-x 'notes/**/c.txt'", {"notes/deep/c.txt"}, 1},
      {"-x '**/*.md'", {"notes/deep/d.md"}, 1},
      {"-x 'n*s/*.txt'", {"notes/a.txt"}, 1},  // "*" stays within a level
      {"-x '[ab].*'", {"a.txt", "b.log", "notes/a.txt"}, 3},
      {"-x '[!ab].txt'", {"docs/build/x.txt", "notes/deep/c.txt"}, 2},
      {"-x '\\#hash.txt'", {"#hash.txt"}, 1},
      {"-x 'star\\*.txt'", {"star*.txt"}, 1},
      {"-x '?.txt'", {"a.txt", "docs/build/x.txt", "notes/a.txt", "notes/deep/c.txt"}, 4},
      {"-x '*.TXT'", {"BIG.TXT"}, 1},  // case counts here
      {"--exclude-from=" + Quote(dir.Path("patterns")), {"b.log", "build/out.bin"}, 2},
  };
  const std::string zip = dir.Path("out.zip");
  // Packs with the case's arguments and gives the names the readers agree on.
  auto packed = [&](const Case& c) {
    SCOPED_TRACE(c.arguments);
    const auto run =
        RunCommand(Tool(c.arguments + " " + Quote(dir.Path("src")) + " " + Quote(zip)));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(" left out, " + std::to_string(c.excluded) + " excluded, "),
              std::string::npos)
        << run.output;
    return CheckedNames(zip);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::vector<std::string> expected;
    for (const auto& name : kPatternTree) {
      if (std::find(c.leftOut.begin(), c.leftOut.end(), name) == c.leftOut.end()) {
        expected.push_back(name);
      }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(packed(c), expected);
  }

  const Case includes[] = {
      {"-i '*.txt'",
       {"#hash.txt", "a.txt", "docs/build/x.txt", "notes/a.txt", "notes/deep/c.txt", "star*.txt"},
       5},
      {"-i notes/", {"notes/a.txt", "notes/deep/c.txt", "notes/deep/d.md"}, 8},
      {"-i notes/ -i '!deep/'", {"notes/a.txt"}, 10},
      {"-i '*.md' -i '*.log' -x b.log", {"keep.log", "notes/deep/d.md"}, 9},
      {"--prefix=pkg/v1/ -i /a.txt", {"pkg/v1/a.txt"}, 10},
  };
  for (const Case& c : includes) EXPECT_EQ(packed(c), c.leftOut) << c.arguments;
}

// The matcher alone, for what the tree above cannot show: the case rule of
// Windows, and patterns that would take exponential time if matched naively.
TEST(Selection, MatcherCases) {
  struct Case {
    const char* pattern;
    const char* name;
    bool foldCase;
    bool matches;
  };
  const std::string many(200, 'a');
  const Case cases[] = {
      {"a/**/b", "a/b", false, true},
      {"a/**/b", "a/x/y/b", false, true},
      {"a/**", "a/x/y", false, true},
      {"a/**", "a", false, false},
      {"**/b", "x/y/b", false, true},
      {"a*b", "a/b", false, false},
      {"a?b", "a/b", false, false},
      {"x**y", "xa/y", false, false},
      {"[a-c]x", "bx", false, true},
      {"[!a-c]x", "bx", false, false},
      {"[]]x", "]x", false, true},
      {"\\*x", "*x", false, true},
      {"\\*x", "ax", false, false},
      {"abc\\", "abc", false, false},
      {"[abc", "a", false, false},
      {"*.TXT", "a.txt", true, true},
      {"*.TXT", "a.txt", false, false},
      {"[A-C].md", "b.MD", true, true},
      {"*a*a*a*a*a*a*a*a*a*a*a*a*b", many.c_str(), false, false},
      {"**/**/**/**/**/**/**/b", "a/a/a/a/a/a/a/a/a/a/a/a/c", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(zf::PatternMatches(c.pattern, c.name, c.foldCase), c.matches)
        << c.pattern << " " << c.name;
  }
}

TEST(Selection, AnExcludedFolderIsNeverListed) {
  if (geteuid() == 0 && RunCommand("setpriv --reuid=nobody true").status != 0) {
    GTEST_SKIP() << "cannot run as an unprivileged user";
  }
  ScratchDir dir;
  chmod(dir.Path().c_str(), 0777);
  MakeTree(dir.Path("src"), {"a.txt", "locked/secret.txt"});
  chmod(dir.Path("src").c_str(), 0777);
  chmod(dir.Path("src/locked").c_str(), 0);
  const std::string pack = Quote(dir.Path("src")) + " " + Quote(dir.Path("out.zip"));
  EXPECT_EQ(RunCommand(Unprivileged(Tool(pack))).status, 3);
  const auto run = RunCommand(Unprivileged(Tool("-x locked/ " + pack)));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("left out "), std::string::npos) << run.output;
  EXPECT_EQ(CheckedNames(dir.Path("out.zip")), std::vector<std::string>{"a.txt"});
}

TEST(Selection, GitignoreLeavesOutWhatGitDoesNotList) {
  ScratchDir dir;
  const std::string repo = dir.Path("repo");
  MakeTree(repo,
           {"main.c", "main.o", "keep.o", "top.txt", "build/out.bin", "sub/top.txt", "sub/x.o",
            "sub/debug.log", "sub/trace.log", "sub/cache", "sub/deep/cache/c", "sub/deep/new.c",
            "secret.txt", "sub/secret.txt", "logs/a.log", "node/.git/HEAD"});
  zft::WriteFile(repo + "/.gitignore", "build/\n*.o\n!keep.o\n/top.txt\n*.log\ncache/\n");
  // The deeper file wins: it takes back one log and every object file.
  zft::WriteFile(repo + "/sub/.gitignore", "!debug.log\n!*.o\n");
  const std::string git = "cd " + Quote(repo) + " && HOME=" + Quote(dir.Path()) +
                          " XDG_CONFIG_HOME=" + Quote(dir.Path()) + " GIT_CONFIG_NOSYSTEM=1 git ";
  ASSERT_EQ(RunCommand(git + "init -q .").status, 0);
  zft::WriteFile(repo + "/.git/info/exclude", "# local\n/secret.txt\n");
  ASSERT_EQ(RunCommand(git + "add main.c .gitignore sub/deep/new.c").status, 0);
  const auto listed = RunCommand(git + "ls-files --cached --others --exclude-standard");
  ASSERT_EQ(listed.status, 0) << listed.output;
  const std::string zip = dir.Path("out.zip");
  for (const char* threads : {"1", "4"}) {
    const auto run = RunCommand(
        Tool(std::string("-T ") + threads + " --gitignore " + Quote(repo) + " " + Quote(zip)));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(CheckedNames(zip), Lines(listed.output));
  }
}

TEST(Selection, FolderEntriesAndLinksComeBackWhenExtracted) {
  ScratchDir dir;
  const std::string src = dir.Path("src");
  MakeTree(src, {"a.txt", "full/b.txt", "shallow/deep/c.txt"});
  zft::MakeDirs(src + "/empty/emptier");
  zft::MakeDirs(src + "/logs");
  ASSERT_EQ(symlink("a.txt", (src + "/to-file").c_str()), 0);
  ASSERT_EQ(symlink("full", (src + "/to-folder").c_str()), 0);
  ASSERT_EQ(symlink("../outside", (src + "/dangling").c_str()), 0);
  struct Case {
    const char* arguments;
    std::vector<std::string> names;
    bool links;  // kept as links
  };
  const std::vector<std::string> files = {"a.txt", "full/b.txt", "shallow/deep/c.txt"};
  const std::vector<std::string> links = {"dangling", "to-file", "to-folder"};
  auto with = [&](std::vector<std::string> names, const std::vector<std::string>& more) {
    names.insert(names.end(), more.begin(), more.end());
    std::sort(names.begin(), names.end());
    return names;
  };
  const Case cases[] = {
      {"--folders=empty --symlinks", with(with(files, links), {"empty/emptier/", "logs/"}), true},
      {"--folders=all --symlinks",
       with(with(files, links),
            {"empty/", "empty/emptier/", "full/", "logs/", "shallow/", "shallow/deep/"}),
       true},
      // Links followed: the folder reached twice is walked once, first as full.
      {"--sort --folders=empty -x '*.txt' -x dangling",
       with({"to-file"}, {"empty/emptier/", "full/", "logs/", "shallow/deep/"}), false},
      {"--folders=all --prefix=top --symlinks -i '*.md'",
       {"top/", "top/empty/", "top/empty/emptier/", "top/full/", "top/logs/", "top/shallow/",
        "top/shallow/deep/"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const std::string zip = dir.Path("out.zip");
    const auto run =
        RunCommand(Tool(std::string(c.arguments) + " " + Quote(src) + " " + Quote(zip)));
    EXPECT_EQ(run.status, 0) << run.output;
    const auto names = CheckedNames(zip);
    EXPECT_EQ(names, c.names);
    // Each reader recreates every folder, empty ones too, and every link.
    const std::string byUnzip = dir.Path("unzip"), byPython = dir.Path("python");
    RunCommand("rm -rf " + Quote(byUnzip) + " " + Quote(byPython));
    const auto unzip = RunCommand("unzip -q " + Quote(zip) + " -d " + Quote(byUnzip));
    EXPECT_EQ(unzip.status, 0) << unzip.output;
    const auto python = RunCommand(
        std::string(ZIPFOLDER_PYTHON) + " -c " +
        Quote(
            "import sys, zipfile, stat\n"
            "z = zipfile.ZipFile(sys.argv[1])\n"
            "z.extractall(sys.argv[2])\n"
            "for i in z.infolist():\n"
            "    if stat.S_ISLNK(i.external_attr >> 16): print(i.filename, z.read(i).decode())\n") +
        " " + Quote(zip) + " " + Quote(byPython));
    EXPECT_EQ(python.status, 0) << python.output;
    for (const auto& name : names) {
      SCOPED_TRACE(name);
      struct stat info;
      const std::string path = byUnzip + "/" + name;
      ASSERT_EQ(lstat(path.c_str(), &info), 0);
      if (name.back() == '/') {
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_TRUE(zft::Exists(byPython + "/" + name));
        EXPECT_EQ(access(path.c_str(), X_OK), 0);  // it can be entered
      } else if (c.links && std::find(links.begin(), links.end(), name) != links.end()) {
        ASSERT_TRUE(S_ISLNK(info.st_mode));
        char target[256] = {};
        ASSERT_GT(readlink(path.c_str(), target, sizeof target - 1), 0);
        char original[256] = {};
        ASSERT_GT(readlink((src + "/" + name).c_str(), original, sizeof original - 1), 0);
        EXPECT_STREQ(target, original);
        EXPECT_NE(python.output.find(name + " " + original + "\n"), std::string::npos)
            << python.output;
      }
    }
  }
}

// A tree made in a scratch folder below base, in the given order, each
// file and folder with its own times.
struct Tree {
  explicit Tree(const std::string& base) {
    std::string pattern = base + "/zipfolder-tree-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = pattern;
  }
  ~Tree() { RunCommand("rm -rf " + Quote(root)); }
  std::string root;
};

void Fill(const std::string& root, bool reversed, std::int64_t time) {
  std::vector<std::string> names;
  for (int i = 0; i < 30; ++i) {
    std::string name = "d";
    name += std::to_string(i % 4);
    name += "/f";
    name += std::to_string(i);
    names.push_back(name + ".txt");
  }
  names.push_back("Z.bin");
  names.push_back("\xC3\xA9t\xC3\xA9.txt");
  if (reversed) std::reverse(names.begin(), names.end());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string path = root + "/" + names[i];
    zft::MakeDirs(path.substr(0, path.rfind('/')));
    zft::WriteFile(path, zft::RandomBytes(3000 + 500 * (names[i].size() % 7), 7));
    zft::SetModifyTime(path, time + static_cast<std::int64_t>(i));
  }
  zft::MakeDirs(root + "/empty");
  symlink("Z.bin", (root + "/link").c_str());
}

TEST(Selection, SortedAndClampedArchivesAreTheSameEverywhere) {
  const std::int64_t epoch = 1600000000;
  Tree onDisk(std::filesystem::temp_directory_path().string());
  if (!zft::Exists("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
  Tree inMemory("/dev/shm");
  Fill(onDisk.root, false, 1700000000);
  Fill(inMemory.root, true, 1800000000);
  ScratchDir dir;
  std::vector<std::uint8_t> first;
  int made = 0;
  for (const std::string& source : {onDisk.root, inMemory.root}) {
    for (const char* threads : {"1", "4"}) {
      for (const char* ceiling : {"SOURCE_DATE_EPOCH=1600000000 ", ""}) {
        const std::string zip = dir.Path("out" + std::to_string(made++) + ".zip");
        const std::string flag = *ceiling == 0 ? " --mtime-ceiling=1600000000" : "";
        const auto run = RunCommand(std::string(ceiling) +
                                    Tool(std::string("-q --sort --folders=all --symlinks -T ") +
                                         threads + flag + " " + Quote(source) + " " + Quote(zip)));
        ASSERT_EQ(run.status, 0) << run.output;
        const auto bytes = zft::ReadFile(zip);
        if (first.empty()) {
          first = bytes;
          const auto archive = zft::CheckArchive(zip);
          zft::CheckWithMoreReaders(zip, archive.entries.size());
          EXPECT_EQ(archive.entries.size(), 38u);
          // The names of each folder in byte order, a folder's content at its place.
          auto names = zft::EntryNames(archive);
          EXPECT_EQ(names[0], "Z.bin");
          EXPECT_EQ(names[1], "d0/");
          EXPECT_EQ(names.back(), "\xC3\xA9t\xC3\xA9.txt");
          for (const auto& e : archive.entries) {
            std::int32_t modified;
            std::memcpy(&modified, e.centralExtra.data() + 5, 4);
            EXPECT_EQ(modified, epoch) << e.name;
            EXPECT_EQ(e.dosDateTime, 0x512D6354u) << e.name;  // 2020-09-13 12:26:40
          }
        }
        EXPECT_TRUE(bytes == first) << source << " -T " << threads << " " << ceiling;
      }
    }
  }
  const auto badEpoch = RunCommand("SOURCE_DATE_EPOCH=soon " +
                                   Tool(Quote(onDisk.root) + " " + Quote(dir.Path("bad.zip"))));
  EXPECT_EQ(badEpoch.status, 2);
  EXPECT_FALSE(zft::Exists(dir.Path("bad.zip")));
}

TEST(Selection, BadChoicesAreBadArguments) {
  ScratchDir dir;
  MakeTree(dir.Path("src"), {"a.txt"});
  const std::string paths = " " + Quote(dir.Path("src")) + " " + Quote(dir.Path("out.zip"));
  for (const char* arguments :
       {"--prefix=/abs", "--prefix=a/../b", "--prefix=./a", "--prefix=a//b", "--prefix='a\\b'",
        "--prefix=/", "--folders=some", "--mtime-ceiling=12x", "--mtime-ceiling=-5",
        "--exclude-from=/no/such/file", "-x ''", "--include="}) {
    SCOPED_TRACE(arguments);
    const auto run = RunCommand(Tool(arguments + paths));
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_FALSE(zft::Exists(dir.Path("out.zip")));
  }
  ZipFolderOptions options{};
  options.size = sizeof options;
  const char* const patterns[] = {"*.txt", nullptr};
  const std::string zip = dir.Path("out.zip");
  struct Case {
    const char* what;
    void (*set)(ZipFolderOptions*, const char* const*);
  };
  const Case cases[] = {
      {"null pattern array", [](ZipFolderOptions* o, const char* const*) { o->excludeCount = 1; }},
      {"null pattern",
       [](ZipFolderOptions* o, const char* const* p) {
         o->include = p;
         o->includeCount = 2;
       }},
      {"folders", [](ZipFolderOptions* o, const char* const*) { o->folders = 3; }},
      {"prefix", [](ZipFolderOptions* o, const char* const*) { o->prefix = "a/./b"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipFolderOptions bad = options;
    c.set(&bad, patterns);
    EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), zip.c_str(), &bad),
              ZIPFOLDER_BAD_ARGUMENT);
    EXPECT_FALSE(zft::Exists(zip));
  }
}

// A record of an older size packs as before, whatever lies beyond its size.
TEST(Selection, AnOlderRecordIgnoresWhatLiesBeyondIt) {
  ScratchDir dir;
  MakeTree(dir.Path("src"), {"a.txt", "b/c.txt", "b/d.log"});
  zft::MakeDirs(dir.Path("src/empty"));
  const char* const patterns[] = {"*.txt"};
  ZipFolderOptions zeros{};
  zeros.size = sizeof zeros;
  ZipFolderOptions older;
  std::memset(&older, 0xFF, sizeof older);
  older.size = offsetof(ZipFolderOptions, level);
  older.callback = nullptr;
  older.threads = 1;
  older.exclude = patterns;
  older.prefix = "p";
  const std::string plain = dir.Path("plain.zip"), ex = dir.Path("ex.zip"),
                    old = dir.Path("old.zip");
  zf::PackFolder(dir.Path("src").c_str(), plain.c_str(), nullptr);
  EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), ex.c_str(), &zeros), ZIPFOLDER_DONE);
  EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), old.c_str(), &older), ZIPFOLDER_DONE);
  EXPECT_EQ(zft::ReadFile(ex), zft::ReadFile(plain));
  EXPECT_EQ(zft::ReadFile(old), zft::ReadFile(plain));
  EXPECT_EQ(CheckedNames(plain), (std::vector<std::string>{"a.txt", "b/c.txt", "b/d.log"}));
}

}  // namespace
