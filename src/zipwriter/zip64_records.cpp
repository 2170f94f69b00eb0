#include "zipwriter/zip64_records.h"

#include "zipwriter/headers.h"

namespace zf {
namespace {

constexpr std::uint16_t kZip64Tag = 0x0001;
constexpr std::uint16_t kZip64Version = 45;

}  // namespace

std::uint32_t ClassicField(std::uint64_t value, bool inZip64) {
  return inZip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

bool OffsetInZip64(const ZipWriter* writer, const ZipEntry* entry) {
  return entry->headerOffset > writer->classicSizeMax;
}

std::uint16_t VersionNeeded(const ZipWriter* writer, const ZipEntry* entry) {
  return entry->zip64Sizes || OffsetInZip64(writer, entry) ? kZip64Version : 20;
}

std::uint32_t LocalZip64Bytes(const ZipEntry* entry) { return entry->zip64Sizes ? 4 + 16 : 0; }

void PutLocalZip64Field(ZipWriter* writer, const ZipEntry* entry) {
  // The local field holds both sizes, whichever of them is large.
  if (!entry->zip64Sizes) return;
  PutShort(writer, kZip64Tag);
  PutShort(writer, 16);
  PutLong(writer, entry->size);
  PutLong(writer, entry->compressedSize);
}

std::uint32_t CentralZip64Bytes(const ZipWriter* writer, const ZipEntry* entry) {
  const std::uint32_t values =
      (entry->zip64Sizes ? 16 : 0) + (OffsetInZip64(writer, entry) ? 8 : 0);
  return values == 0 ? 0 : 4 + values;
}

void PutCentralZip64Field(ZipWriter* writer, const ZipEntry* entry) {
  // Only the values whose classic field holds all ones, in the fixed order
  // size, compressed size, header offset.
  const std::uint32_t bytes = CentralZip64Bytes(writer, entry);
  if (bytes == 0) return;
  PutShort(writer, kZip64Tag);
  PutShort(writer, bytes - 4);
  if (entry->zip64Sizes) {
    PutLong(writer, entry->size);
    PutLong(writer, entry->compressedSize);
  }
  if (OffsetInZip64(writer, entry)) PutLong(writer, entry->headerOffset);
}

bool DirectoryInZip64(const ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                      std::uint64_t size) {
  return count > writer->classicCountMax || start > writer->classicSizeMax ||
         size > writer->classicSizeMax;
}

void WriteZip64End(ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                   std::uint64_t size) {
  const std::uint64_t recordAt = writer->offset;
  PutWord(writer, 0x06064B50);
  PutLong(writer, kZip64EndRecordBytes - 12);  // the bytes after this field
  PutShort(writer, 0x0B00 | kZip64Version);    // made by: host 11, as the central records
  PutShort(writer, kZip64Version);
  PutWord(writer, 0);  // this disk
  PutWord(writer, 0);  // disk of the directory
  PutLong(writer, count);
  PutLong(writer, count);
  PutLong(writer, size);
  PutLong(writer, start);
  PutWord(writer, 0x07064B50);  // the locator
  PutWord(writer, 0);           // disk of the ZIP64 end record
  PutLong(writer, recordAt);
  PutWord(writer, 1);  // disks in all
  writer->offset += kZip64EndRecordBytes + kZip64LocatorBytes;
}

}  // namespace zf
