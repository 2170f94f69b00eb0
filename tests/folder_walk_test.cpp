// Which files the walk finds, in which order, and under which names.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "entry/pack_folder.h"
#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

using zft::CheckArchive;
using zft::EntryNames;
using zft::ScratchDir;
using zft::WriteFile;

std::vector<std::string> Pack(const ScratchDir& dir, const std::string& source,
                              const std::string& zip = "out.zip") {
  const std::string zipPath = zip[0] == '/' ? zip : dir.Path(zip);
  EXPECT_EQ(zf::PackFolder(source.c_str(), zipPath.c_str(), nullptr), zf::ErrNone);
  return EntryNames(CheckArchive(zipPath));
}

// The order the system lists a tree in, depth first, files only.
void ListTree(const std::string& folder, const std::string& prefix,
              std::vector<std::string>* names) {
  DIR* d = opendir(folder.c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    ASSERT_EQ(stat((folder + "/" + name).c_str(), &info), 0);
    if (S_ISDIR(info.st_mode)) {
      ListTree(folder + "/" + name, prefix + name + "/", names);
    } else {
      names->push_back(prefix + name);
    }
  }
  closedir(d);
}

TEST(FolderWalk, NamesAreRelativeAndFollowTheListingOrder) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/x/y"));
  zft::MakeDirs(dir.Path("src/empty/emptier"));
  WriteFile(dir.Path("src/a.txt"), "a");
  WriteFile(dir.Path("src/x/y/b.txt"), "b");
  WriteFile(dir.Path("src/x/c"), "c");
  WriteFile(dir.Path("src/.hidden"), "h");
  for (int i = 0; i < 40; ++i) WriteFile(dir.Path("src/x/f" + std::to_string(i)), "f");

  std::vector<std::string> expected;
  ListTree(dir.Path("src"), "", &expected);
  EXPECT_EQ(Pack(dir, dir.Path("src")), expected);
  EXPECT_EQ(expected.size(), 44u);
  // A trailing separator on the root changes nothing.
  EXPECT_EQ(Pack(dir, dir.Path("src") + "/"), expected);
}

TEST(FolderWalk, ArchiveInsideItsOwnSourceIsNotAddedToItself) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  WriteFile(dir.Path("src/a.txt"), "a");
  WriteFile(dir.Path("src/b.txt"), "b");
  const auto names = Pack(dir, dir.Path("src"), dir.Path("src/self.zip"));
  EXPECT_EQ(names.size(), 2u);
  EXPECT_EQ(std::count(names.begin(), names.end(), "self.zip"), 0);
}

TEST(FolderWalk, OnlyRegularFilesAreSourcesAndLinksAreFollowed) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/real"));
  zft::MakeDirs(dir.Path("elsewhere"));
  WriteFile(dir.Path("src/real/file.txt"), "content");
  WriteFile(dir.Path("elsewhere/outside.txt"), "outside");
  ASSERT_EQ(mkfifo(dir.Path("src/pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", dir.Path("src/zero").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", dir.Path("src/dangling").c_str()), 0);
  ASSERT_EQ(symlink("real/file.txt", dir.Path("src/filelink").c_str()), 0);
  ASSERT_EQ(symlink(dir.Path("elsewhere").c_str(), dir.Path("src/dirlink").c_str()), 0);
  // A socket, bound and left behind.
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dir.Path("src/sock");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  auto names = Pack(dir, dir.Path("src"));
  close(s);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"dirlink/outside.txt", "filelink", "real/file.txt"}));
}

TEST(FolderWalk, LinkCyclesEndAtOnce) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/a/b"));
  WriteFile(dir.Path("src/a/b/leaf.txt"), "leaf");
  ASSERT_EQ(symlink("../..", dir.Path("src/a/b/up").c_str()), 0);
  ASSERT_EQ(symlink(".", dir.Path("src/a/self").c_str()), 0);
  EXPECT_EQ(Pack(dir, dir.Path("src")), (std::vector<std::string>{"a/b/leaf.txt"}));
}

TEST(FolderWalk, LinksToAFolderWalkedBeforeAreNotWalkedAgain) {
  // Every level holds a file and two links to the next level: walked along
  // every path, 24 levels would be 2^24 folders.
  ScratchDir dir;
  constexpr int kLevels = 24;
  for (int i = 0; i < kLevels; ++i) {
    const std::string level = dir.Path("src/levels") + "/" + std::to_string(i);
    zft::MakeDirs(level);
    WriteFile(level + "/file.txt", std::string(4000, static_cast<char>('a' + i)));
    if (i + 1 < kLevels) {
      for (const char* link : {"/x", "/y"}) {
        ASSERT_EQ(symlink(("../" + std::to_string(i + 1)).c_str(), (level + link).c_str()), 0);
      }
    }
  }
  const std::string zip = dir.Path("out.zip");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(zf::PackFolder(dir.Path("src").c_str(), zip.c_str(), nullptr), zf::ErrNone);
  // A generous bound: the walk along every path takes hours.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  // Each level once, under the first path that reached it.
  std::string levelsSeen;
  for (const auto& entry : CheckArchive(zip).entries) {
    levelsSeen += static_cast<char>(zft::EntryContent(entry).at(0));
  }
  std::sort(levelsSeen.begin(), levelsSeen.end());
  EXPECT_EQ(levelsSeen, "abcdefghijklmnopqrstuvwx");
}

TEST(FolderWalk, DeepTreesNeedFewOpenFiles) {
  // 1,500 levels with one-letter names: paths of about 3 KB, within the
  // limit, walked by the tool with no more than 64 open files.
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  int fd = open(dir.Path("src").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  constexpr int kLevels = 1500;
  for (int i = 1; i <= kLevels; ++i) {
    ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    ASSERT_GE(fd, 0);
    if (i % 100 == 0) {
      const int file = openat(fd, "f", O_WRONLY | O_CREAT, 0644);
      ASSERT_GE(file, 0);
      ASSERT_EQ(write(file, "deep", 4), 4);
      close(file);
    }
  }
  close(fd);
  const std::string zip = dir.Path("out.zip");
  const auto tool = zft::RunCommand("ulimit -n 64; " + std::string(ZIPFOLDER_TOOL_PATH) + " -q " +
                                    zft::Quote(dir.Path("src")) + " " + zft::Quote(zip));
  EXPECT_EQ(tool.status, 0) << tool.output;
  const auto names = EntryNames(CheckArchive(zip));
  ASSERT_EQ(names.size(), 15u);
  EXPECT_EQ(names.back().size(), 2u * kLevels + 1);  // "d/" 1,500 times, then "f"
}

TEST(FolderWalk, UnusableNamesAreSkippedAndOthersMarked) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/back\\slash"));
  WriteFile(dir.Path("src/back\\slash/inner.txt"), "x");
  WriteFile(dir.Path("src/..\\..\\evil.txt"), "x");
  WriteFile(dir.Path("src/caf\xC3\xA9.txt"), "utf-8");
  WriteFile(dir.Path("src/latin\xE9.txt"), "not utf-8");
  WriteFile(dir.Path("src/plain.txt"), "ascii");
  const std::string zip = dir.Path("out.zip");
  ASSERT_EQ(zf::PackFolder(dir.Path("src").c_str(), zip.c_str(), nullptr), zf::ErrNone);
  const auto archive = CheckArchive(zip);
  auto names = EntryNames(archive);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"caf\xC3\xA9.txt", "latin\xE9.txt", "plain.txt"}));
  for (const auto& e : archive.entries) {
    const std::uint16_t utf8 = e.name == "caf\xC3\xA9.txt" ? 0x0800 : 0;
    EXPECT_EQ(e.flags & 0x0800, utf8) << e.name;
    EXPECT_EQ(e.localFlags, e.flags) << e.name;
  }
}

TEST(FolderWalk, PathsLongerThanTheSystemAllowsAreSkipped) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  // Folders are made relative to their parent, since past the limit no
  // absolute path reaches them; every level holds a file.
  const std::string segment(200, 'd');
  std::size_t length = dir.Path("src").size();
  int fd = open(dir.Path("src").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  while (length < 4600) {
    ASSERT_EQ(mkdirat(fd, segment.c_str(), 0755), 0);
    const int next = openat(fd, segment.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    ASSERT_GE(fd, 0);
    length += 1 + segment.size();
    const char* name = length + 3 < 4096 ? "ok" : "toolong";
    const int file = openat(fd, name, O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
  }
  close(fd);
  const auto names = Pack(dir, dir.Path("src"));
  EXPECT_GE(names.size(), 15u);
  for (const auto& name : names) EXPECT_EQ(name.substr(name.size() - 3), "/ok");
}

TEST(FolderWalk, NullOrEmptyArgumentsTouchNothing) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  WriteFile(dir.Path("src/a"), "a");
  const std::string zip = dir.Path("out.zip");
  EXPECT_EQ(zf::PackFolder(nullptr, zip.c_str(), nullptr), zf::ErrArgument);
  EXPECT_EQ(zf::PackFolder("", zip.c_str(), nullptr), zf::ErrArgument);
  EXPECT_FALSE(zft::Exists(zip));
  EXPECT_EQ(zf::PackFolder(dir.Path("src").c_str(), nullptr, nullptr), zf::ErrArgument);
  EXPECT_EQ(zf::PackFolder(dir.Path("src").c_str(), "", nullptr), zf::ErrArgument);
}

}  // namespace
