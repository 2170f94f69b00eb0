// Archives put together field by field in the tests, from entries whose
// stored bytes the test made itself: to try a stage of the writer (an
// encryption filter) with other readers before the writer uses it. Classic
// fields only, no ZIP64.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zft {

struct HandEntry {
  std::string name;
  std::uint16_t versionNeeded;
  std::uint16_t flags;   // with bit 3, a data descriptor follows the data
  std::uint16_t method;  // as both headers say it
  std::uint32_t dosDateTime;
  std::uint32_t crc;  // as both headers say it
  std::uint32_t size;
  std::vector<std::uint8_t> extra;  // in both headers
  std::vector<std::uint8_t> data;   // the bytes stored
};

// The whole archive: local headers and data (and descriptors), the central
// directory and its end record.
std::vector<std::uint8_t> HandArchive(const std::vector<HandEntry>& entries);

// zlib's raw deflate of data at its default level.
std::vector<std::uint8_t> RawDeflate(const std::vector<std::uint8_t>& data);

}  // namespace zft
