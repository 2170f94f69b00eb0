#include "zipwriter/zip64_records.h"

#include "zipwriter/entry_filter.h"
#include "zipwriter/entry_methods.h"
#include "zipwriter/format_numbers.h"
#include "zipwriter/headers.h"

namespace zf {

std::uint32_t ClassicField(std::uint64_t value, bool inZip64) {
  return inZip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

bool OffsetInZip64(const ZipWriter* writer, const ZipEntry* entry) {
  return entry->headerOffset > writer->choices->classicSizeMax;
}

std::uint16_t VersionNeeded(const ZipWriter* writer, const ZipEntry* entry) {
  std::uint16_t needed = MethodFor(entry->method).versionNeeded;
  const std::uint16_t filter = FilterVersion(*writer->choices, entry);
  if (filter > needed) needed = filter;
  if ((entry->zip64Sizes || OffsetInZip64(writer, entry)) && kVersionZip64 > needed) {
    needed = kVersionZip64;
  }
  return needed;
}

std::uint32_t LocalZip64Bytes(const ZipEntry* entry) { return entry->zip64Sizes ? 4 + 16 : 0; }

std::uint8_t* StoreLocalZip64Field(std::uint8_t* at, const ZipEntry* entry, std::uint64_t size,
                                   std::uint64_t compressedSize) {
  // The local field holds both sizes, whichever of them is large.
  if (!entry->zip64Sizes) return at;
  at = Store16(at, kZip64FieldId);
  at = Store16(at, 16);
  at = Store64(at, size);
  return Store64(at, compressedSize);
}

std::uint32_t CentralZip64Bytes(const ZipWriter* writer, const ZipEntry* entry) {
  const std::uint32_t values =
      (entry->zip64Sizes ? 16 : 0) + (OffsetInZip64(writer, entry) ? 8 : 0);
  return values == 0 ? 0 : 4 + values;
}

std::uint8_t* StoreCentralZip64Field(const ZipWriter* writer, std::uint8_t* at,
                                     const ZipEntry* entry) {
  // Only the values whose classic field holds all ones, in the fixed order
  // size, compressed size, header offset.
  const std::uint32_t bytes = CentralZip64Bytes(writer, entry);
  if (bytes == 0) return at;
  at = Store16(at, kZip64FieldId);
  at = Store16(at, bytes - 4);
  if (entry->zip64Sizes) {
    at = Store64(at, entry->size);
    at = Store64(at, entry->compressedSize);
  }
  if (OffsetInZip64(writer, entry)) at = Store64(at, entry->headerOffset);
  return at;
}

bool DirectoryInZip64(const ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                      std::uint64_t size) {
  return count > writer->choices->classicCountMax || start > writer->choices->classicSizeMax ||
         size > writer->choices->classicSizeMax;
}

void WriteZip64End(ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                   std::uint64_t size) {
  const std::uint64_t recordAt = writer->offset;
  std::uint8_t* at = Store32(writer->header, kZip64EndSignature);
  at = Store64(at, kZip64EndRecordBytes - 12);          // the bytes after this field
  at = Store16(at, kHostDefault << 8 | kVersionZip64);  // made by, as the central records
  at = Store16(at, kVersionZip64);
  at = Store32(at, 0);  // this disk
  at = Store32(at, 0);  // disk of the directory
  at = Store64(at, count);
  at = Store64(at, count);
  at = Store64(at, size);
  at = Store64(at, start);
  at = Store32(at, kZip64LocatorSignature);
  at = Store32(at, 0);  // disk of the ZIP64 end record
  at = Store64(at, recordAt);
  at = Store32(at, 1);  // disks in all
  PutBytes(writer, writer->header, kZip64EndRecordBytes + kZip64LocatorBytes);
  writer->offset += kZip64EndRecordBytes + kZip64LocatorBytes;
}

}  // namespace zf
