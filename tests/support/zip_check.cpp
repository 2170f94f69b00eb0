#include "support/zip_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "support/test_files.h"
#include "zipwriter/zip_writer.h"

namespace zft {
namespace {

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return U16(b, at) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}

std::uint64_t U64(const std::vector<std::uint8_t>& b, std::size_t at) {
  return U32(b, at) | std::uint64_t{U32(b, at + 4)} << 32;
}

// Replaces each value whose classic field holds all ones by the next one of
// the ZIP64 field (tag 1) in extra, in the order the values are given.
void TakeZip64Values(const std::vector<std::uint8_t>& extra, std::vector<std::uint64_t*> values,
                     const std::string& name) {
  for (std::size_t at = 0; at + 4 <= extra.size(); at += 4u + U16(extra, at + 2)) {
    if (U16(extra, at) != 1) continue;
    std::size_t next = at + 4;
    for (std::uint64_t* value : values) {
      if (*value != 0xFFFFFFFF) continue;
      *value = U64(extra, next);
      next += 8;
    }
    EXPECT_EQ(next, at + 4u + U16(extra, at + 2)) << name << ": ZIP64 field length";
    return;
  }
  for (const std::uint64_t* value : values) {
    EXPECT_NE(*value, 0xFFFFFFFFu) << name << ": all ones but no ZIP64 field";
  }
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& b, std::size_t at,
                                std::size_t count) {
  if (at + count > b.size()) {
    ADD_FAILURE() << "record runs past the end of the file";
    return {};
  }
  return std::vector<std::uint8_t>(b.begin() + static_cast<std::ptrdiff_t>(at),
                                   b.begin() + static_cast<std::ptrdiff_t>(at + count));
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (auto b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

}  // namespace

ParsedArchive ParseArchive(const std::string& path) {
  const std::vector<std::uint8_t> b = ReadFile(path);
  ParsedArchive archive{{}, 0, 0, b.size(), false};
  if (b.size() < 22) {
    ADD_FAILURE() << path << " is shorter than an end record";
    return archive;
  }
  // No archive comment: the end record is the last 22 bytes.
  const std::size_t end = b.size() - 22;
  EXPECT_EQ(U32(b, end), 0x06054B50u);
  EXPECT_EQ(U16(b, end + 4), 0);
  EXPECT_EQ(U16(b, end + 6), 0);
  std::uint64_t count = U16(b, end + 8);
  EXPECT_EQ(U16(b, end + 10), count);
  archive.centralSize = U32(b, end + 12);
  archive.centralOffset = U32(b, end + 16);
  EXPECT_EQ(U16(b, end + 20), 0);
  std::size_t directoryEnd = end;
  archive.zip64End = end >= 76 && U32(b, end - 20) == 0x07064B50u;
  if (archive.zip64End) {
    directoryEnd = end - 76;
    EXPECT_EQ(U32(b, end - 16), 0u);
    EXPECT_EQ(U64(b, end - 12), directoryEnd) << "locator";
    EXPECT_EQ(U32(b, end - 4), 1u);
    const std::size_t z = directoryEnd;
    EXPECT_EQ(U32(b, z), 0x06064B50u);
    EXPECT_EQ(U64(b, z + 4), 44u);
    EXPECT_EQ(U16(b, z + 12), 0x0B2D);
    EXPECT_EQ(U16(b, z + 14), 45);
    EXPECT_EQ(U64(b, z + 16), 0u) << "disks";
    EXPECT_EQ(U64(b, z + 24), U64(b, z + 32));
    // Each classic field holds its value or all ones.
    for (auto [classic, wide] : {std::pair{count, U64(b, z + 32)},
                                 std::pair{std::uint64_t{archive.centralSize}, U64(b, z + 40)},
                                 std::pair{std::uint64_t{archive.centralOffset}, U64(b, z + 48)}}) {
      if (classic != 0xFFFF && classic != 0xFFFFFFFF) {
        EXPECT_EQ(classic, wide);
      }
    }
    count = U64(b, z + 32);
    archive.centralSize = U64(b, z + 40);
    archive.centralOffset = U64(b, z + 48);
  }
  EXPECT_EQ(archive.centralOffset + archive.centralSize, directoryEnd);

  auto at = static_cast<std::size_t>(archive.centralOffset);
  std::size_t expectedLocal = 0;  // entries tile the file from its start
  for (std::uint64_t i = 0; i < count && at + 46 <= directoryEnd; ++i) {
    ParsedEntry e{};
    EXPECT_EQ(U32(b, at), 0x02014B50u);
    e.versionMadeBy = U16(b, at + 4);
    e.versionNeeded = U16(b, at + 6);
    e.flags = U16(b, at + 8);
    e.method = U16(b, at + 10);
    e.dosDateTime = U32(b, at + 12);
    e.crc = U32(b, at + 16);
    e.compressedSize = U32(b, at + 20);
    e.size = U32(b, at + 24);
    const std::uint16_t nameLength = U16(b, at + 28);
    const std::uint16_t extraLength = U16(b, at + 30);
    EXPECT_EQ(U16(b, at + 32), 0) << "comment length";
    EXPECT_EQ(U16(b, at + 34), 0) << "disk start";
    e.internalAttributes = U16(b, at + 36);
    e.externalAttributes = U32(b, at + 38);
    e.headerOffset = U32(b, at + 42);
    const auto name = Slice(b, at + 46, nameLength);
    e.name.assign(name.begin(), name.end());
    e.centralExtra = Slice(b, at + 46 + nameLength, extraLength);
    at += 46u + nameLength + extraLength;
    const bool sizesInZip64 = e.compressedSize == 0xFFFFFFFF;
    TakeZip64Values(e.centralExtra, {&e.size, &e.compressedSize, &e.headerOffset}, e.name);
    EXPECT_EQ(e.versionNeeded, e.centralExtra.size() > 9 ? 45 : 20) << e.name;
    // A link names a Unix host, the only one from which readers restore
    // links; other entries name it when they carry their own POSIX mode.
    const bool link = (e.externalAttributes >> 28) == 0xA;
    const int host = e.versionMadeBy >> 8;
    EXPECT_TRUE(host == 3 || (!link && host == 11)) << e.name;
    EXPECT_EQ(e.versionMadeBy & 0xFF, e.versionNeeded == 45 ? 45 : 23) << e.name;

    const auto h = static_cast<std::size_t>(e.headerOffset);
    EXPECT_EQ(h, expectedLocal) << e.name;
    EXPECT_EQ(U32(b, h), 0x04034B50u) << e.name;
    EXPECT_EQ(U16(b, h + 4), e.versionNeeded) << e.name;
    e.localFlags = U16(b, h + 6);
    EXPECT_EQ(e.localFlags, e.flags) << e.name;
    // Bit 3: the values follow the data, and the header has zeros.
    const bool described = (e.localFlags & 8) != 0;
    EXPECT_EQ(U16(b, h + 8), e.method) << e.name;
    EXPECT_EQ(U32(b, h + 10), e.dosDateTime) << e.name;
    EXPECT_EQ(U32(b, h + 14), described ? 0u : e.crc) << e.name;
    std::uint64_t localCompressed = U32(b, h + 18);
    std::uint64_t localSize = U32(b, h + 22);
    EXPECT_EQ(U16(b, h + 26), nameLength) << e.name;
    const std::uint16_t localExtraLength = U16(b, h + 28);
    const auto localName = Slice(b, h + 30, nameLength);
    EXPECT_EQ(std::string(localName.begin(), localName.end()), e.name);
    e.localExtra = Slice(b, h + 30 + nameLength, localExtraLength);
    // Sizes in a ZIP64 field stand there in both headers.
    EXPECT_EQ(localCompressed == 0xFFFFFFFF, sizesInZip64) << e.name;
    TakeZip64Values(e.localExtra, {&localSize, &localCompressed}, e.name);
    EXPECT_EQ(localSize, described ? 0 : e.size) << e.name;
    EXPECT_EQ(localCompressed, described ? 0 : e.compressedSize) << e.name;
    const std::size_t dataAt = h + 30u + nameLength + localExtraLength;
    e.data = Slice(b, dataAt, static_cast<std::size_t>(e.compressedSize));
    expectedLocal = dataAt + static_cast<std::size_t>(e.compressedSize);
    if (described) {
      // The descriptor: signature, CRC, then the sizes in 8 bytes each for
      // an entry in the ZIP64 form.
      const std::size_t d = expectedLocal;
      EXPECT_EQ(U32(b, d), 0x08074B50u) << e.name;
      EXPECT_EQ(U32(b, d + 4), e.crc) << e.name;
      EXPECT_EQ(sizesInZip64 ? U64(b, d + 8) : U32(b, d + 8), e.compressedSize) << e.name;
      EXPECT_EQ(sizesInZip64 ? U64(b, d + 16) : U32(b, d + 12), e.size) << e.name;
      expectedLocal += sizesInZip64 ? 24 : 16;
    }
    archive.entries.push_back(std::move(e));
  }
  EXPECT_EQ(archive.entries.size(), count);
  EXPECT_EQ(at, directoryEnd) << "central directory size";
  EXPECT_EQ(expectedLocal, archive.centralOffset)
      << "bytes between the last entry and the directory";
  return archive;
}

ParsedArchive CheckArchive(const std::string& path) {
  ParsedArchive archive = ParseArchive(path);

  const CommandResult unzip = RunCommand("unzip -t " + Quote(path));
  if (archive.entries.empty()) {
    // unzip reports an empty archive with a warning status of its own.
    EXPECT_NE(unzip.output.find("empty"), std::string::npos) << unzip.output;
  } else {
    EXPECT_EQ(unzip.status, 0) << unzip.output;
    EXPECT_NE(unzip.output.find("No errors detected"), std::string::npos) << unzip.output;
  }

  const CommandResult listing =
      RunCommand(std::string(ZIPFOLDER_PYTHON) + " " +
                 Quote(std::string(ZIPFOLDER_SOURCE_DIR) + "/tests/support/zip_listing.py") + " " +
                 Quote(path));
  EXPECT_EQ(listing.status, 0) << listing.output;
  std::istringstream lines(listing.output);
  std::string line;
  std::size_t index = 0;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    if (f.size() != 12 || index >= archive.entries.size()) {
      ADD_FAILURE() << "unexpected listing line: " << line;
      continue;
    }
    const ParsedEntry& e = archive.entries[index++];
    EXPECT_EQ(f[0], Hex(std::vector<std::uint8_t>(e.name.begin(), e.name.end())));
    EXPECT_EQ(std::stoul(f[1]), e.method) << e.name;
    EXPECT_EQ(std::stoul(f[2]), e.flags) << e.name;
    EXPECT_EQ(std::stoul(f[3], nullptr, 16), e.crc) << e.name;
    EXPECT_EQ(std::stoull(f[4]), e.compressedSize) << e.name;
    EXPECT_EQ(std::stoull(f[5]), e.size) << e.name;
    EXPECT_EQ(std::stoul(f[6], nullptr, 16), e.externalAttributes) << e.name;
    EXPECT_EQ(std::stoul(f[7], nullptr, 16), e.dosDateTime) << e.name;
    EXPECT_EQ(std::stoull(f[8]), e.headerOffset) << e.name;
    EXPECT_EQ(f[9], Hex(e.centralExtra)) << e.name;
    EXPECT_EQ(std::stoul(f[10]), e.internalAttributes) << e.name;
    EXPECT_EQ(std::stoul(f[11], nullptr, 16), e.crc) << e.name << ": content CRC";
  }
  EXPECT_EQ(index, archive.entries.size());
  return archive;
}

std::vector<std::uint8_t> EntryContent(const ParsedEntry& entry) {
  if (entry.method == 0) return entry.data;
  // One spare byte: inflate wants room to write even for an empty entry.
  std::vector<std::uint8_t> out(static_cast<std::size_t>(entry.size) + 1);
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(entry.data.data());
  z.avail_in = static_cast<uInt>(entry.data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  EXPECT_EQ(status, Z_STREAM_END) << entry.name;
  EXPECT_EQ(z.avail_in, 0u) << entry.name << ": bytes after the end of the stream";
  EXPECT_EQ(z.total_out, entry.size) << entry.name;
  inflateEnd(&z);
  out.pop_back();
  return out;
}

void CheckWithMoreReaders(const std::string& path, std::size_t entries) {
  const CommandResult sevenZip = RunCommand("7z t " + Quote(path));
  EXPECT_EQ(sevenZip.status, 0) << sevenZip.output;
  EXPECT_NE(sevenZip.output.find("Everything is Ok"), std::string::npos) << sevenZip.output;
  const CommandResult bsdtar = RunCommand("bsdtar -tf " + Quote(path));
  EXPECT_EQ(bsdtar.status, 0) << bsdtar.output;
  EXPECT_EQ(static_cast<std::size_t>(std::count(bsdtar.output.begin(), bsdtar.output.end(), '\n')),
            entries)
      << bsdtar.output.substr(0, 2000);
}

std::int32_t PackInOrder(const std::string& zip, const std::string& folder,
                         const std::vector<std::string>& names, std::uint64_t sizeMax,
                         std::uint64_t countMax) {
  zf::ZipWriter* writer = nullptr;
  EXPECT_EQ(zf::OpenArchive(zip.c_str(), &writer), zf::ErrNone);
  writer->ownChoices.classicSizeMax = sizeMax;
  writer->ownChoices.classicCountMax = countMax;
  for (const auto& name : names) {
    const bool own = name[0] == '/';
    const std::string source = own ? name : folder + "/" + name;
    const std::string entryName = own ? name.substr(name.rfind('/') + 1) : name;
    EXPECT_EQ(zf::AddEntry(writer, source.c_str(), entryName.c_str()), zf::ErrNone) << name;
  }
  return zf::CloseArchive(writer);
}

const ParsedEntry* FindEntry(const ParsedArchive& archive, const std::string& name) {
  for (const auto& e : archive.entries) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

std::vector<std::string> EntryNames(const ParsedArchive& archive) {
  std::vector<std::string> names;
  for (const auto& e : archive.entries) names.push_back(e.name);
  return names;
}

}  // namespace zft
