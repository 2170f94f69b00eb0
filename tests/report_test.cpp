// The reporting job in the process, so that the sanitizer build sees its
// cancel paths: a cancel at any point leaves no archive behind and an
// existing one as it was. And the levels it passes on.
#include "entry/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/pack_at_level.h"
#include "support/test_files.h"
#include "support/zip_check.h"

namespace {

using zft::ScratchDir;

struct CancelAt {
  std::int32_t kind;     // the event that cancels
  std::uint64_t atRead;  // once this many bytes are read
};

int Cancel(void* context, const ZipFolderEvent* event) {
  const auto* at = static_cast<const CancelAt*>(context);
  return event->kind == at->kind && event->bytesRead >= at->atRead;
}

std::size_t FilesIn(const std::string& folder) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                std::filesystem::directory_iterator()));
}

TEST(Reporting, CancelAnywhereLeavesNoArchive) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  zft::WriteFile(dir.Path("src/a.txt"), std::string(3 << 20, 'a'));    // deflated
  zft::WriteFile(dir.Path("src/b.gz"), zft::RandomBytes(3 << 20, 6));  // stored
  const std::string zip = dir.Path("out.zip");
  const std::uint64_t kMiB = 1 << 20;
  const CancelAt cases[] = {
      {ZIPFOLDER_EVENT_PROGRESS, 0},         // before the first file
      {ZIPFOLDER_EVENT_PROGRESS, 2 * kMiB},  // inside the first file
      {ZIPFOLDER_EVENT_PROGRESS, 4 * kMiB},  // inside the second
      {ZIPFOLDER_EVENT_ADDED, 6 * kMiB},     // after the last
  };
  for (bool existing : {false, true}) {
    for (CancelAt at : cases) {
      const std::uint32_t threads = existing ? 2 : 0;  // the threaded packer cancels alike
      SCOPED_TRACE(std::to_string(at.kind) + " at " + std::to_string(at.atRead) +
                   (existing ? " over an archive" : ""));
      if (existing) zft::WriteFile(zip, "old");
      ZipFolderOptions options{};
      options.size = sizeof options;
      options.callback = Cancel;
      options.context = const_cast<CancelAt*>(&at);
      options.threads = threads;
      EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), zip.c_str(), &options),
                ZIPFOLDER_CANCELLED);
      EXPECT_EQ(FilesIn(dir.Path()), existing ? 2u : 1u);
      if (existing) {
        EXPECT_EQ(zft::ReadFile(zip), std::vector<std::uint8_t>({'o', 'l', 'd'}));
      }
    }
  }
  // Without a callback, or with a record from before it, nothing reports.
  for (std::uint32_t size : {std::uint32_t{4}, std::uint32_t{sizeof(ZipFolderOptions)}}) {
    ZipFolderOptions options{};
    options.size = size;
    EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), zip.c_str(), &options),
              ZIPFOLDER_DONE);
  }
  EXPECT_EQ(zft::EntryNames(zft::CheckArchive(zip)).size(), 2u);
  ZipFolderOptions tooShort{};
  tooShort.size = 2;
  EXPECT_EQ(zf::PackFolderReporting(dir.Path("src").c_str(), zip.c_str(), &tooShort),
            ZIPFOLDER_BAD_ARGUMENT);
  EXPECT_EQ(zf::PackFolderReporting("", zip.c_str(), nullptr), ZIPFOLDER_BAD_ARGUMENT);
}

// A file cut while it is read, once or again while it is read again: it is
// packed whole as it is now, or left out as changed, never cut off under
// success. On one thread, where the cuts fall is certain.
struct Cuts {
  std::string path;
  std::vector<std::pair<std::uint64_t, std::size_t>> steps;  // once read, cut to
  std::size_t next = 0;
  bool changed = false;
};

int CutWhileRead(void* context, const ZipFolderEvent* event) {
  auto* cuts = static_cast<Cuts*>(context);
  if (event->kind == ZIPFOLDER_EVENT_LEFT_OUT)
    cuts->changed = event->reason == ZIPFOLDER_REASON_CHANGED;
  if (event->kind == ZIPFOLDER_EVENT_PROGRESS && cuts->next < cuts->steps.size() &&
      event->bytesRead >= cuts->steps[cuts->next].first) {
    std::filesystem::resize_file(cuts->path, cuts->steps[cuts->next++].second);
  }
  return 0;
}

TEST(Reporting, AFileCutWhileReadIsPackedWholeOrLeftOutAsChanged) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  const std::uint64_t kMiB = 1 << 20;
  const auto original = zft::RandomBytes(8 * kMiB, 9);
  const std::string zip = dir.Path("out.zip");
  for (std::uint32_t threads : {0u, 2u}) {
    for (bool again : {false, true}) {
      SCOPED_TRACE(std::to_string(threads) + " threads" + (again ? ", cut again" : ""));
      const std::string path = dir.Path("src/big.bin");  // deflated: no stored extension
      zft::WriteFile(path, original);
      Cuts cuts{path, {{kMiB, again ? 4 * kMiB : 100}}};
      if (again) cuts.steps.push_back({6 * kMiB, 100});
      ZipFolderOptions options{};
      options.size = sizeof options;
      options.callback = CutWhileRead;
      options.context = &cuts;
      options.threads = threads;
      const std::int32_t status =
          zf::PackFolderReporting(dir.Path("src").c_str(), zip.c_str(), &options);
      const auto archive = zft::CheckArchive(zip);
      if (status == ZIPFOLDER_DONE) {
        ASSERT_EQ(archive.entries.size(), 1u);
        const auto content = zft::EntryContent(archive.entries[0]);
        EXPECT_TRUE(content.size() == 100 || content.size() == 4 * kMiB ||
                    content.size() == 8 * kMiB)
            << content.size();
        EXPECT_TRUE(std::equal(content.begin(), content.end(), original.begin()));
      } else {
        EXPECT_EQ(status, ZIPFOLDER_DONE_LEFT_OUT);
        EXPECT_TRUE(cuts.changed);
        EXPECT_TRUE(archive.entries.empty());
      }
      if (threads == 0) {
        EXPECT_EQ(status, again ? ZIPFOLDER_DONE_LEFT_OUT : ZIPFOLDER_DONE);
        if (!again) {
          EXPECT_EQ(archive.entries[0].size, 100u);
        }
      }
    }
  }
}

// Every level, asked for through the options record, gives an archive the
// other readers accept, with the level's method and deflate flag bits, and
// the same bytes at any thread count; no level is the default one.
TEST(Reporting, EveryLevelReadsBackTheSameAtAnyThreadCount) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/sub"));
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i % 977) + " of the text\n";
  zft::WriteFile(dir.Path("src/a.txt"), text);
  zft::WriteFile(dir.Path("src/sub/b.bin"), zft::RandomBytes(100000, 3));
  zft::WriteFile(dir.Path("src/sub/c.gz"), std::string(5000, 'c'));
  zft::WriteFile(dir.Path("src/empty.txt"), "");
  auto pack = [&](std::int32_t level, std::uint32_t threads) {
    std::string name = std::to_string(level);
    name += "-";
    name += std::to_string(threads);
    const std::string zip = dir.Path(name + ".zip");
    EXPECT_EQ(zft::PackAtLevel(dir.Path("src"), zip, level, threads), ZIPFOLDER_DONE);
    return zip;
  };
  const auto defaultBytes = zft::ReadFile(pack(ZIPFOLDER_LEVEL_DEFAULT, 1));
  for (std::int32_t level = ZIPFOLDER_LEVEL_STORE; level <= 9; ++level) {
    if (level == ZIPFOLDER_LEVEL_DEFAULT) continue;
    SCOPED_TRACE(level);
    const std::string zip = pack(level, 1);
    const auto archive = zft::CheckArchive(zip);
    ASSERT_EQ(archive.entries.size(), 4u);
    for (const zft::ParsedEntry& entry : archive.entries) {
      const bool stored = level == ZIPFOLDER_LEVEL_STORE || entry.name == "sub/c.gz";
      EXPECT_EQ(entry.method, stored ? 0 : 8) << entry.name;
      const std::uint16_t bits = stored ? 0 : level <= 2 ? 4 : level >= 8 ? 2 : 0;
      EXPECT_EQ(entry.flags & 0x0006, bits) << entry.name;
    }
    EXPECT_EQ(zft::ReadFile(pack(level, 3)), zft::ReadFile(zip));
    if (level == 8) {
      EXPECT_EQ(zft::ReadFile(zip), defaultBytes);
    }
  }
  ZipFolderOptions options{};
  options.size = sizeof options;
  for (std::int32_t bad : {-2, 10}) {
    options.level = bad;
    EXPECT_EQ(
        zf::PackFolderReporting(dir.Path("src").c_str(), dir.Path("bad.zip").c_str(), &options),
        ZIPFOLDER_BAD_ARGUMENT);
  }
  EXPECT_FALSE(zft::Exists(dir.Path("bad.zip")));
}

// What the flags for callers that show a pack see: totals counted first, a
// dry run, patterns that matched nothing, and no archive the patterns empty.
struct Seen {
  std::vector<std::string> listed, added, unmatched;
  std::set<std::pair<std::uint32_t, std::uint64_t>> totalsAfterCount;
  bool counted = false;
};

int Record(void* context, const ZipFolderEvent* event) {
  auto* seen = static_cast<Seen*>(context);
  if (event->kind == ZIPFOLDER_EVENT_COUNTED) seen->counted = true;
  if (seen->counted) seen->totalsAfterCount.insert({event->entriesTotal, event->bytesTotal});
  if (event->kind == ZIPFOLDER_EVENT_LISTED) seen->listed.push_back(event->name);
  if (event->kind == ZIPFOLDER_EVENT_ADDED) seen->added.push_back(event->name);
  if (event->kind == ZIPFOLDER_EVENT_UNMATCHED) seen->unmatched.push_back(event->name);
  return 0;
}

TEST(Reporting, CountFirstDryRunAndPatternsToldAsAsked) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/sub"));
  zft::WriteFile(dir.Path("src/a.txt"), std::string(3000, 'a'));
  zft::WriteFile(dir.Path("src/sub/b.c"), "int b;");
  const std::string zip = dir.Path("out.zip");
  const char* exclude[] = {"*.o", "src/sub"};
  struct Case {
    std::uint32_t flags;
    const char* include;
    std::int32_t status;
  };
  for (const Case& c :
       {Case{ZIPFOLDER_FLAG_COUNT_FIRST, nullptr, ZIPFOLDER_DONE},
        Case{ZIPFOLDER_FLAG_DRY_RUN, nullptr, ZIPFOLDER_DONE},
        Case{ZIPFOLDER_FLAG_DRY_RUN | ZIPFOLDER_FLAG_REFUSE_EMPTY, "*.x", ZIPFOLDER_ALL_EXCLUDED},
        Case{ZIPFOLDER_FLAG_REFUSE_EMPTY, "*.x", ZIPFOLDER_ALL_EXCLUDED},
        Case{0, "*.x", ZIPFOLDER_DONE}}) {
    for (std::uint32_t threads : {1u, 2u}) {
      SCOPED_TRACE(std::to_string(c.flags) + (c.include ? " -i" : "") + " threads " +
                   std::to_string(threads));
      std::filesystem::remove(zip);
      Seen seen;
      ZipFolderOptions options{};
      options.size = sizeof options;
      options.callback = Record;
      options.context = &seen;
      options.threads = threads;
      options.flags = c.flags | ZIPFOLDER_FLAG_TELL_UNMATCHED | ZIPFOLDER_FLAG_SORT;
      options.exclude = exclude;
      options.excludeCount = 2;
      options.include = &c.include;
      options.includeCount = c.include != nullptr ? 1 : 0;
      const bool dry = (c.flags & ZIPFOLDER_FLAG_DRY_RUN) != 0;
      EXPECT_EQ(
          zf::PackFolderReporting(dir.Path("src").c_str(), dry ? nullptr : zip.c_str(), &options),
          c.status);
      EXPECT_EQ(zft::Exists(zip), c.status == ZIPFOLDER_DONE && !dry);
      const std::vector<std::string> all = {"a.txt", "sub/b.c"};
      if (c.include == nullptr) {
        EXPECT_EQ(dry ? seen.listed : seen.added, all);
      }
      if (c.flags == ZIPFOLDER_FLAG_COUNT_FIRST) {
        EXPECT_EQ(seen.totalsAfterCount,
                  (std::set<std::pair<std::uint32_t, std::uint64_t>>{{2, 3006}}));
      }
      std::vector<std::string> unmatched = {"*.o", "src/sub"};
      if (c.include != nullptr) unmatched.push_back(c.include);
      EXPECT_EQ(seen.unmatched, unmatched);
    }
  }
  for (std::int32_t status = ZIPFOLDER_DONE; status <= ZIPFOLDER_NOT_SUPPORTED; ++status) {
    EXPECT_STRNE(zf::StatusText(status), "unknown status") << status;
  }
  EXPECT_STREQ(zf::StatusText(ZIPFOLDER_NOT_SUPPORTED + 1), "unknown status");
}

}  // namespace
