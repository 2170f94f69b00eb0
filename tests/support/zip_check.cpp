#include "support/zip_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <sstream>

#include "support/test_files.h"

namespace zft {
namespace {

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return U16(b, at) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
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
  ParsedArchive archive{{}, 0, 0, b.size()};
  if (b.size() < 22) {
    ADD_FAILURE() << path << " is shorter than an end record";
    return archive;
  }
  // No archive comment: the end record is the last 22 bytes.
  const std::size_t end = b.size() - 22;
  EXPECT_EQ(U32(b, end), 0x06054B50u);
  EXPECT_EQ(U16(b, end + 4), 0);
  EXPECT_EQ(U16(b, end + 6), 0);
  const std::uint16_t count = U16(b, end + 8);
  EXPECT_EQ(U16(b, end + 10), count);
  archive.centralSize = U32(b, end + 12);
  archive.centralOffset = U32(b, end + 16);
  EXPECT_EQ(U16(b, end + 20), 0);
  EXPECT_EQ(std::uint64_t{archive.centralOffset} + archive.centralSize, end);

  std::size_t at = archive.centralOffset;
  std::size_t expectedLocal = 0;  // entries tile the file from its start
  for (std::uint16_t i = 0; i < count && at + 46 <= end; ++i) {
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

    const std::size_t h = e.headerOffset;
    EXPECT_EQ(h, expectedLocal) << e.name;
    EXPECT_EQ(U32(b, h), 0x04034B50u) << e.name;
    EXPECT_EQ(U16(b, h + 4), e.versionNeeded) << e.name;
    e.localFlags = U16(b, h + 6);
    EXPECT_EQ(U16(b, h + 8), e.method) << e.name;
    EXPECT_EQ(U32(b, h + 10), e.dosDateTime) << e.name;
    EXPECT_EQ(U32(b, h + 14), e.crc) << e.name;
    EXPECT_EQ(U32(b, h + 18), e.compressedSize) << e.name;
    EXPECT_EQ(U32(b, h + 22), e.size) << e.name;
    EXPECT_EQ(U16(b, h + 26), nameLength) << e.name;
    const std::uint16_t localExtraLength = U16(b, h + 28);
    const auto localName = Slice(b, h + 30, nameLength);
    EXPECT_EQ(std::string(localName.begin(), localName.end()), e.name);
    e.localExtra = Slice(b, h + 30 + nameLength, localExtraLength);
    const std::size_t dataAt = h + 30u + nameLength + localExtraLength;
    e.data = Slice(b, dataAt, e.compressedSize);
    expectedLocal = dataAt + e.compressedSize;
    archive.entries.push_back(std::move(e));
  }
  EXPECT_EQ(archive.entries.size(), count);
  EXPECT_EQ(at, end) << "central directory size";
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
    EXPECT_EQ(std::stoul(f[4]), e.compressedSize) << e.name;
    EXPECT_EQ(std::stoul(f[5]), e.size) << e.name;
    EXPECT_EQ(std::stoul(f[6], nullptr, 16), e.externalAttributes) << e.name;
    EXPECT_EQ(std::stoul(f[7], nullptr, 16), e.dosDateTime) << e.name;
    EXPECT_EQ(std::stoul(f[8]), e.headerOffset) << e.name;
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
  std::vector<std::uint8_t> out(entry.size + 1);
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
