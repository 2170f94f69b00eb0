// Packing from several threads at once; the ThreadSanitizer build runs every
// test of the Threads suite.
#include <gtest/gtest.h>

#include <thread>

#include "entry/pack_folder.h"
#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

TEST(Threads, ArchivesOfOneTreePackedAtOnceAreIdentical) {
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
