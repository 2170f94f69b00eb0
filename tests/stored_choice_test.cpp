// Which files are stored rather than deflated: by their name, and by what
// deflate made of them. The choice depends on the files alone, so the
// archive is the same at every thread count.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "entry/report.h"
#include "support/test_files.h"
#include "support/zip_check.h"
#include "zipfolder.h"

namespace {

using zft::ScratchDir;

TEST(StoredChoice, ByNameAndByWhatDeflateMadeOfIt) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  // Past the segment size of a large file, so that workers parse it together.
  zft::WriteFile(dir.Path("src/x.bin"), zft::RandomBytes(5 << 20, 1));
  zft::WriteFile(dir.Path("src/photo.JPG"), std::string(20000, 'j'));
  zft::WriteFile(dir.Path("src/a.tar.zst"), zft::RandomBytes(3000, 2));
  zft::WriteFile(dir.Path("src/t.txt"), std::string(20000, 't'));
  zft::WriteFile(dir.Path("src/one"), "1");
  const char* const names[] = {"x.bin", "photo.JPG", "a.tar.zst", "t.txt", "one"};
  constexpr std::uint32_t kBoth = ZIPFOLDER_FLAG_STORE_INCOMPRESSIBLE | ZIPFOLDER_FLAG_STORE_TYPES;
  struct Case {
    const char* what;
    std::uint32_t flags;
    const char* types;
    std::map<std::string, int> methods;
  };
  const Case cases[] = {
      {"none: as always",
       0,
       nullptr,
       {{"x.bin", 8}, {"photo.JPG", 8}, {"a.tar.zst", 8}, {"t.txt", 8}, {"one", 8}}},
      {"both",
       kBoth,
       nullptr,
       {{"x.bin", 0}, {"photo.JPG", 0}, {"a.tar.zst", 0}, {"t.txt", 8}, {"one", 0}}},
      {"a list of its own",
       ZIPFOLDER_FLAG_STORE_TYPES,
       ".txt,tar.zst",
       {{"x.bin", 8}, {"photo.JPG", 8}, {"a.tar.zst", 0}, {"t.txt", 0}, {"one", 8}}},
      {"an empty list",
       kBoth,
       "",
       {{"x.bin", 0}, {"photo.JPG", 8}, {"a.tar.zst", 0}, {"t.txt", 8}, {"one", 0}}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> first;
    for (std::uint32_t threads : {1u, 4u}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " + std::to_string(threads));
      // Reading moves the access times, which the archive records.
      for (const char* name : names) zft::SetModifyTime(dir.Path("src/") + name, 1700000000);
      ZipFolderOptions options{};
      options.size = sizeof options;
      options.threads = threads;
      options.flags = c.flags | ZIPFOLDER_FLAG_SORT;
      options.storedTypes = c.types;
      const std::string zip = dir.Path("out.zip");
      ASSERT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), zip.c_str(), &options),
                ZIPFOLDER_DONE);
      const auto archive = zft::CheckArchive(zip);
      for (const auto& e : archive.entries) {
        EXPECT_EQ(e.method, c.methods.at(e.name)) << e.name;
        if (e.method == 0) {
          EXPECT_EQ(e.flags & 6, 0) << e.name;
        }
        EXPECT_EQ(zft::EntryContent(e), zft::ReadFile(dir.Path("src/" + e.name))) << e.name;
      }
      const auto bytes = zft::ReadFile(zip);
      if (first.empty()) first = bytes;
      EXPECT_EQ(bytes, first);
    }
  }
}

}  // namespace
