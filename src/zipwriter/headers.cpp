#include "zipwriter/headers.h"

#include <cstring>

#include "zipwriter/entry_filter.h"
#include "zipwriter/format_numbers.h"
#include "zipwriter/zip64_records.h"

namespace zf {
namespace {

constexpr std::uint32_t kLocalTimesBytes = 17;
constexpr std::uint32_t kCentralTimesBytes = 9;

// Method, time, CRC and sizes stand in the same order in both headers.
std::uint8_t* StoreMethodTimeAndSizes(const ZipWriter* writer, std::uint8_t* at,
                                      const ZipEntry* entry, std::uint32_t crc,
                                      std::uint64_t compressedSize, std::uint64_t size) {
  at = Store16(at, WrittenMethod(*writer->choices, entry));
  at = Store32(at, entry->dosDateTime);
  at = Store32(at, WrittenCrc(*writer->choices, entry, crc));
  at = Store32(at, ClassicField(compressedSize, entry->zip64Sizes));
  at = Store32(at, ClassicField(size, entry->zip64Sizes));
  return Store16(at, entry->nameLength);
}

// The extended timestamp: which times follow (all three), then the times
// that this header holds, as 32-bit Unix seconds.
std::uint8_t* StoreTimesField(std::uint8_t* at, const std::int32_t* times, std::uint32_t count) {
  constexpr std::uint8_t kAllThreeTimes = 7;
  at = Store16(at, kTimestampFieldId);
  at = Store16(at, 1 + 4 * count);
  *at++ = kAllThreeTimes;
  for (std::uint32_t t = 0; t < count; ++t) at = Store32(at, static_cast<std::uint32_t>(times[t]));
  return at;
}

std::uint8_t* StoreName(std::uint8_t* at, const ZipEntry* entry) {
  std::memcpy(at, entry->name, entry->nameLength);
  return at + entry->nameLength;
}

}  // namespace

std::uint8_t* Store16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  return at + 2;
}

std::uint8_t* Store32(std::uint8_t* at, std::uint32_t value) {
  return Store16(Store16(at, value), value >> 16);
}

std::uint8_t* Store64(std::uint8_t* at, std::uint64_t value) {
  return Store32(Store32(at, static_cast<std::uint32_t>(value)),
                 static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t LocalHeaderBytes(const ZipEntry* entry) {
  return kLocalHeaderBytes + entry->nameLength + LocalZip64Bytes(entry) + kLocalTimesBytes +
         entry->filterFieldBytes;
}

std::uint32_t ComposeLocalHeader(const ZipWriter* writer, const ZipEntry* entry,
                                 const SourceDetails& details, std::uint8_t* out) {
  // On a stream the values follow the data, unless they were known before.
  const bool streamed =
      (writer->flags & kDataDescriptors) != 0 && (entry->flags & kFlagDataDescriptor) != 0;
  const std::uint32_t crc = streamed ? 0 : entry->crc;
  const std::uint64_t compressedSize = streamed ? 0 : entry->compressedSize;
  const std::uint64_t size = streamed ? 0 : entry->size;
  std::uint8_t* at = Store32(out, kLocalHeaderSignature);
  at = Store16(at, VersionNeeded(writer, entry));
  at = Store16(at, entry->flags);
  at = StoreMethodTimeAndSizes(writer, at, entry, crc, compressedSize, size);
  at = Store16(at, LocalZip64Bytes(entry) + kLocalTimesBytes + entry->filterFieldBytes);
  at = StoreName(at, entry);
  at = StoreLocalZip64Field(at, entry, size, compressedSize);
  const std::int32_t times[3] = {details.modifyTime, details.accessTime, details.createTime};
  at = StoreTimesField(at, times, 3);
  at = StoreFilterField(*writer->choices, entry, at);
  return static_cast<std::uint32_t>(at - out);
}

void WriteLocalHeader(ZipWriter* writer, const ZipEntry* entry, const SourceDetails& details) {
  PutBytes(writer, writer->header, ComposeLocalHeader(writer, entry, details, writer->header));
}

std::uint32_t DataDescriptorBytes(const ZipEntry* entry) { return entry->zip64Sizes ? 24 : 16; }

void WriteDataDescriptor(ZipWriter* writer, const ZipEntry* entry) {
  std::uint8_t* at = Store32(writer->header, kDataDescriptorSignature);
  at = Store32(at, WrittenCrc(*writer->choices, entry, entry->crc));
  if (entry->zip64Sizes) {
    at = Store64(at, entry->compressedSize);
    at = Store64(at, entry->size);
  } else {
    at = Store32(at, static_cast<std::uint32_t>(entry->compressedSize));
    at = Store32(at, static_cast<std::uint32_t>(entry->size));
  }
  PutBytes(writer, writer->header, DataDescriptorBytes(entry));
}

std::uint32_t CentralRecordBytes(const ZipWriter* writer, const ZipEntry* entry) {
  return kCentralHeaderBytes + entry->nameLength + CentralZip64Bytes(writer, entry) +
         kCentralTimesBytes + entry->filterFieldBytes;
}

void WriteCentralHeader(ZipWriter* writer, const ZipEntry* entry) {
  const std::uint16_t needed = VersionNeeded(writer, entry);
  // Made by: version 2.3, or 4.5 as needed for ZIP64.
  const std::uint16_t madeBy = needed > kVersionClassic ? needed : kVersionMadeByClassic;
  const bool link =
      (entry->externalAttributes >> 16 & kUnixTypeMask) == (kUnixLinkMode & kUnixTypeMask);
  const std::uint32_t host = link || entry->unixHost ? kHostUnix : kHostDefault;
  std::uint8_t* at = Store32(writer->header, kCentralHeaderSignature);
  at = Store16(at, host << 8 | madeBy);
  at = Store16(at, needed);
  at = Store16(at, entry->flags);
  at = StoreMethodTimeAndSizes(writer, at, entry, entry->crc, entry->compressedSize, entry->size);
  at = Store16(at, CentralZip64Bytes(writer, entry) + kCentralTimesBytes + entry->filterFieldBytes);
  at = Store16(at, 0);  // comment length
  at = Store16(at, 0);  // disk start
  at = Store16(at, entry->internalAttributes);
  at = Store32(at, entry->externalAttributes);
  at = Store32(at, ClassicField(entry->headerOffset, OffsetInZip64(writer, entry)));
  at = StoreName(at, entry);
  at = StoreCentralZip64Field(writer, at, entry);
  at = StoreTimesField(at, &entry->modifyTime, 1);
  at = StoreFilterField(*writer->choices, entry, at);
  PutBytes(writer, writer->header, static_cast<std::uint32_t>(at - writer->header));
}

std::uint32_t EndRecordsBytes(const ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                              std::uint64_t size) {
  const bool zip64 = DirectoryInZip64(writer, count, start, size);
  return kEndRecordBytes + (zip64 ? kZip64EndRecordBytes + kZip64LocatorBytes : 0);
}

void WriteEndRecords(ZipWriter* writer, std::uint64_t count, std::uint64_t start) {
  const std::uint64_t size = writer->offset - start;
  if (DirectoryInZip64(writer, count, start, size)) WriteZip64End(writer, count, start, size);
  // Each classic field holds its value, or all ones when it does not fit.
  const std::uint32_t classicCount =
      count > writer->choices->classicCountMax ? 0xFFFF : static_cast<std::uint32_t>(count);
  std::uint8_t* at = Store32(writer->header, kEndRecordSignature);
  at = Store16(at, 0);  // this disk
  at = Store16(at, 0);  // disk of the directory
  at = Store16(at, classicCount);
  at = Store16(at, classicCount);
  at = Store32(at, ClassicField(size, size > writer->choices->classicSizeMax));
  at = Store32(at, ClassicField(start, start > writer->choices->classicSizeMax));
  at = Store16(at, 0);  // comment length
  PutBytes(writer, writer->header, kEndRecordBytes);
  writer->offset += kEndRecordBytes;
}

}  // namespace zf
