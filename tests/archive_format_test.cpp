// The bytes of the archive: headers, times, attributes, extra fields, and
// the choice between storing and deflating.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <map>

#include "entry/pack_folder.h"
#include "support/test_files.h"
#include "support/zip_check.h"
#include "zipwriter/source_details.h"

namespace {

using zft::CheckArchive;
using zft::FindEntry;
using zft::ScratchDir;
using zft::WriteFile;

std::uint32_t Crc(const std::vector<std::uint8_t>& bytes) {
  return static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

zft::ParsedArchive PackAndCheck(const ScratchDir& dir, const std::string& source = "src") {
  const std::string zip = dir.Path("out.zip");
  EXPECT_EQ(zf::PackFolder(dir.Path(source).c_str(), zip.c_str(), nullptr), zf::ErrNone);
  return CheckArchive(zip);
}

TEST(ArchiveFormat, EmptyOrMissingFolderGivesTheBareEndRecord) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("empty/sub/deeper"));
  const std::vector<std::uint8_t> expected = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0,
                                              0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0};
  for (const char* source : {"empty", "missing"}) {
    const std::string zip = dir.Path("out.zip");
    // An existing archive is replaced, even when the source turns out missing.
    WriteFile(zip, std::string(1000, 'x'));
    EXPECT_EQ(zf::PackFolder(dir.Path(source).c_str(), zip.c_str(), nullptr), zf::ErrNone);
    EXPECT_EQ(zft::ReadFile(zip), expected) << source;
    CheckArchive(zip);
  }
}

TEST(ArchiveFormat, StoredEntriesCarryEveryFieldExactly) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  const auto content = zft::RandomBytes(50000, 7);
  WriteFile(dir.Path("src/a.ZIP"), content);
  // 2024-03-15 12:34:56 UTC.
  zft::SetModifyTime(dir.Path("src/a.ZIP"), 1710506096);

  const auto archive = PackAndCheck(dir);
  ASSERT_EQ(archive.entries.size(), 1u);
  const auto& e = archive.entries[0];
  EXPECT_EQ(e.name, "a.ZIP");
  EXPECT_EQ(e.versionMadeBy, 0x0B17);
  EXPECT_EQ(e.versionNeeded, 20);
  EXPECT_EQ(e.method, 0);
  EXPECT_EQ(e.flags, 0);
  EXPECT_EQ(e.localFlags, 0);
  EXPECT_EQ(e.dosDateTime, 0x586F645Cu);
  EXPECT_EQ(e.crc, Crc(content));
  EXPECT_EQ(e.size, content.size());
  EXPECT_EQ(e.compressedSize, content.size());
  EXPECT_EQ(e.internalAttributes, 0);
  EXPECT_EQ(e.externalAttributes, 0x81800020u);
  EXPECT_EQ(e.headerOffset, 0u);
  EXPECT_EQ(e.data, content);

  // Extended timestamps: all three times locally, the modification time centrally.
  ASSERT_EQ(e.localExtra.size(), 17u);
  ASSERT_EQ(e.centralExtra.size(), 9u);
  const std::vector<std::uint8_t> localHead = {0x55, 0x54, 0x0D, 0x00, 0x07};
  const std::vector<std::uint8_t> centralHead = {0x55, 0x54, 0x05, 0x00, 0x07};
  EXPECT_EQ(std::vector<std::uint8_t>(e.localExtra.begin(), e.localExtra.begin() + 5), localHead);
  EXPECT_EQ(std::vector<std::uint8_t>(e.centralExtra.begin(), e.centralExtra.begin() + 5),
            centralHead);
  EXPECT_EQ(Le32(e.localExtra, 5), 1710506096u);
  EXPECT_EQ(Le32(e.centralExtra, 5), 1710506096u);
  EXPECT_EQ(Le32(e.localExtra, 9), 1710506096u);  // access time, set alike

  // The end record: one entry, directory right behind the data.
  EXPECT_EQ(archive.centralOffset, 30u + 5 + 17 + content.size());
  EXPECT_EQ(archive.centralSize, 46u + 5 + 9);

  const auto zipinfo = zft::RunCommand("zipinfo -v " + zft::Quote(dir.Path("out.zip")));
  EXPECT_NE(zipinfo.output.find("compression method:                             none (stored)"),
            std::string::npos)
      << zipinfo.output;
  EXPECT_NE(zipinfo.output.find("2024 Mar 15 12:34:56"), std::string::npos) << zipinfo.output;
  EXPECT_NE(zipinfo.output.find("MS-DOS file attributes (20 hex):                arc"),
            std::string::npos)
      << zipinfo.output;
}

TEST(ArchiveFormat, StoredExtensionsAreMatchedByTheLastDotInAsciiCase) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/x.zip"));
  for (const char* name : {"a.ZIP", "b.tgz", "c.Z", "d.gz", ".arj", "e.Zoo", "f.lzh", "g.ARC"}) {
    WriteFile(dir.Path("src/") + name, std::string(300, 'q'));
  }
  for (const char* name : {"a.zip.txt", "README", "x.zip/readme", "h.gzip", "i.zi\xC3\xA7"}) {
    WriteFile(dir.Path("src/") + name, std::string(300, 'q'));
  }
  const auto archive = PackAndCheck(dir);
  ASSERT_EQ(archive.entries.size(), 13u);
  for (const auto& e : archive.entries) {
    const bool stored = zf::IsStoredExtension(e.name.c_str());
    EXPECT_EQ(e.method, stored ? 0 : 8) << e.name;
    EXPECT_EQ(e.flags & 0x0F, stored ? 0 : 2) << e.name;
    if (stored) {
      EXPECT_EQ(e.compressedSize, e.size) << e.name;
    }
    EXPECT_EQ(zft::EntryContent(e), std::vector<std::uint8_t>(300, 'q')) << e.name;
  }
  for (const char* name : {"a.ZIP", "b.tgz", "c.Z", "d.gz", ".arj", "e.Zoo", "f.lzh", "g.ARC"}) {
    EXPECT_TRUE(zf::IsStoredExtension(name)) << name;
  }
  for (const char* name : {"a.zip.txt", "README", "x.zip/readme", "h.gzip", "zip"}) {
    EXPECT_FALSE(zf::IsStoredExtension(name)) << name;
  }
}

TEST(ArchiveFormat, AttributesFollowWritePermissionAndExecutableHeaders) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  std::vector<std::uint8_t> exe(200, 0);
  exe[0] = 'M';
  exe[1] = 'Z';
  exe[60] = 0x80;  // the new header lies at 128
  exe[128] = 'P';
  exe[129] = 'E';
  WriteFile(dir.Path("src/prog.gz"), exe);
  WriteFile(dir.Path("src/readonly.gz"), "data");
  chmod(dir.Path("src/readonly.gz").c_str(), 0444);
  // An MZ stub whose header would lie past the end is no program.
  exe[60] = 0xF0;
  WriteFile(dir.Path("src/short.gz"), exe);
  // A bare stub whose header offset is 0 points at its own "MZ\0\0".
  WriteFile(dir.Path("src/stub.gz"), std::string("MZ") + std::string(62, '\0'));
  // Too short to hold the header offset at byte 60.
  WriteFile(dir.Path("src/tiny.gz"), std::string("MZ") + std::string(50, '\0'));

  const auto archive = PackAndCheck(dir);
  EXPECT_EQ(FindEntry(archive, "prog.gz")->externalAttributes, 0x81C00020u);
  EXPECT_EQ(FindEntry(archive, "readonly.gz")->externalAttributes, 0x81000021u);
  EXPECT_EQ(FindEntry(archive, "short.gz")->externalAttributes, 0x81800020u);
  EXPECT_EQ(FindEntry(archive, "stub.gz")->externalAttributes, 0x81C00020u);
  EXPECT_EQ(FindEntry(archive, "tiny.gz")->externalAttributes, 0x81800020u);
  // The executable test must leave the data intact.
  EXPECT_EQ(zft::EntryContent(*FindEntry(archive, "prog.gz")).size(), 200u);
}

TEST(ArchiveFormat, DosTimesComeFromUtcCalendarFields) {
  const auto dos = [](std::int64_t unixSeconds) {
    return zf::FileTimeToDos((unixSeconds + 11644473600LL) * 10000000);
  };
  // Seconds are halved.
  EXPECT_EQ(dos(1710506096), 0x586F645Cu);
  // Years outside 1980..2107 clamp to the ends instead of wrapping the
  // seven-bit year (1979 used to read as 2107, 1970 as 2098).
  EXPECT_EQ(dos(315532800 - 86400), zf::kDosEpoch);
  EXPECT_EQ(dos(0), zf::kDosEpoch);
  EXPECT_EQ(dos(315532800), zf::kDosEpoch);
  EXPECT_EQ(dos(4354819200 - 1), zf::kDosLast);  // 2107-12-31 23:59:59
  EXPECT_EQ(dos(4354819200), zf::kDosLast);
  // Past 2038 too, where a 32-bit time_t would wrap: 2100-01-01 00:00:00.
  EXPECT_EQ(dos(4102444800), 0xF0210000u);
  EXPECT_EQ(zf::FileTimeToDos(-1), zf::kDosEpoch);
  EXPECT_EQ(zf::FileTimeToDos(INT64_MAX), zf::kDosLast);
  // Unix seconds truncate toward zero and never wrap: past 2106-02-07
  // 06:28:15 the field's last value, before 1970 the DOS date's first.
  const auto stored = [](std::int64_t unixSeconds) {
    return static_cast<std::uint32_t>(
        zf::FileTimeToUnix((unixSeconds + 11644473600LL) * 10000000 + 5));
  };
  EXPECT_EQ(stored(0), 0u);
  EXPECT_EQ(stored(0xFFFFFFFF), 0xFFFFFFFFu);
  for (std::int64_t later : {0x100000000LL, 4354819200LL, 7258118400LL}) {  // 2106, 2108, 2200
    EXPECT_EQ(stored(later), 0xFFFFFFFFu);
  }
  for (std::int64_t earlier : {-1LL, -(1LL << 31) - 1, -11644473600LL}) {  // 1969, 1901, 1601
    EXPECT_EQ(stored(earlier), 315532800u);
  }
  EXPECT_EQ(zf::FileTimeToUnix(INT64_MIN), 315532800);
  EXPECT_EQ(zf::FileTimeToUnix(INT64_MAX), -1);
}

// Times the extended timestamp cannot hold are clamped, never wrapped, in
// both time fields, so that readers of either show one time.
TEST(ArchiveFormat, TimesOutsideTheTimestampFieldClampAlikeForEveryReader) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  const std::pair<std::int64_t, const char*> cases[] = {
      {4296000000, "21060207.062815"},          // 2106-02-19
      {7258118400, "21060207.062815"},          // 2200-01-01
      {-1, "19800101.000000"},                  // 1969-12-31 23:59:59
      {-(1LL << 31) - 100, "19800101.000000"},  // 1901
      {1710506096, "20240315.123456"},
  };
  std::map<std::string, std::string> stamps;  // by name, as sort -k2 orders them
  for (const auto& [seconds, stamp] : cases) {
    const std::string name = std::to_string(seconds) + ".txt";
    WriteFile(dir.Path("src/" + name), "x");
    zft::SetModifyTime(dir.Path("src/" + name), seconds);
    stamps[name] = stamp;
  }
  std::string expected;
  for (const auto& [name, stamp] : stamps) expected += stamp + " " + name + "\n";
  const std::string sorted = " | LC_ALL=C sort -k2";
  const std::string zip = zft::Quote(dir.Path("out.zip"));
  ASSERT_EQ(zf::PackFolder(dir.Path("src").c_str(), dir.Path("out.zip").c_str(), nullptr),
            zf::ErrNone);
  // zipinfo reads the timestamp field, Python's zipfile the DOS date (to
  // the even second), bsdtar the field (to the day here).
  const auto zipinfo =
      zft::RunCommand("TZ=UTC zipinfo -T " + zip + " | awk '/^-/{print $7, $8}'" + sorted);
  EXPECT_EQ(zipinfo.output, expected);
  const auto python =
      zft::RunCommand(std::string(ZIPFOLDER_PYTHON) +
                      " -c 'import sys, zipfile\n"
                      "for i in zipfile.ZipFile(sys.argv[1]).infolist():"
                      " print(\"%04d%02d%02d.%02d%02d%02d\" % i.date_time, i.filename)' " +
                      zip + sorted);
  std::string evenSeconds = expected;
  for (std::size_t at = evenSeconds.find("062815"); at != std::string::npos;
       at = evenSeconds.find("062815", at)) {
    evenSeconds.replace(at, 6, "062814");
  }
  EXPECT_EQ(python.output, evenSeconds);
  const auto bsdtar = zft::RunCommand("TZ=UTC bsdtar -tvf " + zip);
  EXPECT_EQ(bsdtar.status, 0);
  for (const char* day : {"Feb  7  2106", "Jan  1  1980", "Mar 15  2024"}) {
    EXPECT_NE(bsdtar.output.find(day), std::string::npos) << bsdtar.output;
  }
  EXPECT_EQ(bsdtar.output.find("1970"), std::string::npos) << bsdtar.output;
  EXPECT_EQ(bsdtar.output.find("2038"), std::string::npos) << bsdtar.output;
}

TEST(ArchiveFormat, SameFolderGivesTheSameArchive) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src/sub"));
  WriteFile(dir.Path("src/text.txt"), std::string(100000, 'a') + "tail");
  WriteFile(dir.Path("src/sub/noise.bin"), zft::RandomBytes(300000, 3));
  WriteFile(dir.Path("src/sub/stored.gz"), zft::RandomBytes(1000, 4));
  const std::string first = dir.Path("first.zip");
  const std::string second = dir.Path("second.zip");
  // Reading a file may move its access time, which the archive records.
  for (const std::string& zip : {first, second}) {
    for (const char* name : {"src/text.txt", "src/sub/noise.bin", "src/sub/stored.gz"}) {
      zft::SetModifyTime(dir.Path(name), 1700000000);
    }
    zf::PackFolder(dir.Path("src").c_str(), zip.c_str(), nullptr);
  }
  EXPECT_EQ(zft::ReadFile(first), zft::ReadFile(second));
  const auto archive = CheckArchive(first);
  EXPECT_EQ(zft::EntryContent(*FindEntry(archive, "sub/noise.bin")), zft::RandomBytes(300000, 3));
}

}  // namespace

TEST(ArchiveFormat, PackingLeavesSourcesUntouchedAndOldDatesReadable) {
  ScratchDir dir;
  zft::MakeDirs(dir.Path("src"));
  WriteFile(dir.Path("src/epoch.txt"), std::string(5000, 'e'));
  WriteFile(dir.Path("src/y2000.gz"), zft::RandomBytes(700, 5));
  zft::SetModifyTime(dir.Path("src/epoch.txt"), 0);  // as reproducible builds set it
  zft::SetModifyTime(dir.Path("src/y2000.gz"), 946684800);
  const std::string first = dir.Path("first.zip");
  const std::string second = dir.Path("second.zip");
  // No time is reset between the two runs: reading must not move them.
  EXPECT_EQ(zf::PackFolder(dir.Path("src").c_str(), first.c_str(), nullptr), zf::ErrNone);
  EXPECT_EQ(zf::PackFolder(dir.Path("src").c_str(), second.c_str(), nullptr), zf::ErrNone);
  EXPECT_EQ(zft::ReadFile(first), zft::ReadFile(second));
  struct stat info;
  ASSERT_EQ(stat(dir.Path("src/epoch.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_atime, 0);
  // Python's reader shows the DOS date: 1980-01-01, not 2098.
  const auto archive = CheckArchive(first);
  EXPECT_EQ(FindEntry(archive, "epoch.txt")->dosDateTime, zf::kDosEpoch);
  EXPECT_EQ(Le32(FindEntry(archive, "epoch.txt")->localExtra, 5), 0u);  // the true time
  EXPECT_EQ(FindEntry(archive, "y2000.gz")->dosDateTime, 0x28210000u);
}
