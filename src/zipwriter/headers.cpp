#include "zipwriter/headers.h"

#include "zipwriter/zip64_records.h"

namespace zf {
namespace {

constexpr std::uint32_t kLocalTimesBytes = 17;
constexpr std::uint32_t kCentralTimesBytes = 9;

// Method, time, CRC and sizes stand in the same order in both headers.
void PutMethodTimeAndSizes(ZipWriter* writer, const ZipEntry* entry) {
  PutShort(writer, entry->method);
  PutWord(writer, entry->dosDateTime);
  PutWord(writer, entry->crc);
  PutWord(writer, ClassicField(entry->compressedSize, entry->zip64Sizes));
  PutWord(writer, ClassicField(entry->size, entry->zip64Sizes));
  PutShort(writer, entry->nameLength);
}

// The extended timestamp: which times follow (all three), then the times
// that this header holds, as 32-bit Unix seconds.
void PutTimesField(ZipWriter* writer, const std::int32_t* times, std::uint32_t count) {
  constexpr std::uint8_t kAllThreeTimes = 7;
  PutShort(writer, 0x5455);
  PutShort(writer, 1 + 4 * count);
  PutBytes(writer, &kAllThreeTimes, 1);
  for (std::uint32_t t = 0; t < count; ++t) PutWord(writer, static_cast<std::uint32_t>(times[t]));
}

}  // namespace

void PutWord(ZipWriter* writer, std::uint32_t value) {
  PutShort(writer, value);
  PutShort(writer, value >> 16);
}

void PutLong(ZipWriter* writer, std::uint64_t value) {
  PutWord(writer, static_cast<std::uint32_t>(value));
  PutWord(writer, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t LocalHeaderBytes(const ZipEntry* entry) {
  return kLocalHeaderBytes + entry->nameLength + LocalZip64Bytes(entry) + kLocalTimesBytes;
}

void WriteLocalHeader(ZipWriter* writer, const ZipEntry* entry, const SourceDetails& details) {
  PutWord(writer, 0x04034B50);
  PutShort(writer, VersionNeeded(writer, entry));
  PutShort(writer, entry->flags);
  PutMethodTimeAndSizes(writer, entry);
  PutShort(writer, LocalZip64Bytes(entry) + kLocalTimesBytes);
  PutBytes(writer, entry->name, entry->nameLength);
  PutLocalZip64Field(writer, entry);
  const std::int32_t times[3] = {details.modifyTime, details.accessTime, details.createTime};
  PutTimesField(writer, times, 3);
}

std::uint32_t CentralRecordBytes(const ZipWriter* writer, const ZipEntry* entry) {
  return kCentralHeaderBytes + entry->nameLength + CentralZip64Bytes(writer, entry) +
         kCentralTimesBytes;
}

void WriteCentralHeader(ZipWriter* writer, const ZipEntry* entry) {
  const std::uint16_t needed = VersionNeeded(writer, entry);
  PutWord(writer, 0x02014B50);
  const bool link =
      (entry->externalAttributes >> 16 & kUnixTypeMask) == (kUnixLinkMode & kUnixTypeMask);
  const std::uint32_t host = link ? kHostUnix : kHostDefault;
  PutShort(writer, host << 8 | (needed > 20 ? needed : 23));  // made by: version 2.3 or 4.5
  PutShort(writer, needed);
  PutShort(writer, entry->flags);
  PutMethodTimeAndSizes(writer, entry);
  PutShort(writer, CentralZip64Bytes(writer, entry) + kCentralTimesBytes);
  PutShort(writer, 0);  // comment length
  PutShort(writer, 0);  // disk start
  PutShort(writer, entry->internalAttributes);
  PutWord(writer, entry->externalAttributes);
  PutWord(writer, ClassicField(entry->headerOffset, OffsetInZip64(writer, entry)));
  PutBytes(writer, entry->name, entry->nameLength);
  PutCentralZip64Field(writer, entry);
  PutTimesField(writer, &entry->modifyTime, 1);
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
      count > writer->classicCountMax ? 0xFFFF : static_cast<std::uint32_t>(count);
  PutWord(writer, 0x06054B50);
  PutShort(writer, 0);  // this disk
  PutShort(writer, 0);  // disk of the directory
  PutShort(writer, classicCount);
  PutShort(writer, classicCount);
  PutWord(writer, ClassicField(size, size > writer->classicSizeMax));
  PutWord(writer, ClassicField(start, start > writer->classicSizeMax));
  PutShort(writer, 0);  // comment length
  writer->offset += kEndRecordBytes;
}

}  // namespace zf
