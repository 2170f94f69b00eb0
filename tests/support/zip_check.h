// Reading back the archives the tests make: our own field-by-field parse,
// always cross-checked against readers we did not write (unzip and Python's
// zipfile).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zft {

struct ParsedEntry {
  std::string name;
  std::uint16_t versionMadeBy;
  std::uint16_t versionNeeded;
  std::uint16_t flags;
  std::uint16_t localFlags;
  std::uint16_t method;
  std::uint32_t dosDateTime;
  std::uint32_t crc;
  std::uint64_t compressedSize;
  std::uint64_t size;
  std::uint16_t internalAttributes;
  std::uint32_t externalAttributes;
  std::uint64_t headerOffset;
  std::vector<std::uint8_t> centralExtra;
  std::vector<std::uint8_t> localExtra;
  std::vector<std::uint8_t> data;  // the entry's bytes as stored in the archive
};

struct ParsedArchive {
  std::vector<ParsedEntry> entries;
  std::uint64_t centralOffset;
  std::uint64_t centralSize;
  std::uint64_t fileSize;
  bool zip64End;  // the ZIP64 end record and locator precede the end record
};

// Parses every record, ZIP64 fields included, and checks that local headers, central records and
// the end record agree and tile the file exactly. Failures go to gtest.
ParsedArchive ParseArchive(const std::string& path);

// ParseArchive, plus `unzip -t` and Python's zipfile, which must agree with
// the parse on every field and read every entry back with a good CRC.
ParsedArchive CheckArchive(const std::string& path);

// The entry's content: stored bytes, or inflated with zlib.
std::vector<std::uint8_t> EntryContent(const ParsedEntry& entry);

// 7-Zip tests every entry and libarchive lists them: the readers beside
// unzip and zipfile.
void CheckWithMoreReaders(const std::string& path, std::size_t entries);

// Packs the files below folder named in names, in that order: the walk's
// order follows the file system's, which may differ between machines. A
// name starting with "/" is a source of its own, stored under its last part.
// The classic field maxima may be lowered to reach the ZIP64 forms.
std::int32_t PackInOrder(const std::string& zip, const std::string& folder,
                         const std::vector<std::string>& names, std::uint64_t sizeMax = 0xFFFFFFFF,
                         std::uint64_t countMax = 0xFFFF);

const ParsedEntry* FindEntry(const ParsedArchive& archive, const std::string& name);
std::vector<std::string> EntryNames(const ParsedArchive& archive);

}  // namespace zft
