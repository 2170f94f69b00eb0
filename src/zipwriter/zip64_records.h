// The ZIP64 extensions: which values of an entry or of the directory do not
// fit the classic fields, the ZIP64 extra field that carries them, and the
// ZIP64 end record with its locator. An archive whose values all fit has
// none of these and keeps the classic bytes.
#pragma once

#include "zipwriter/zip_writer.h"

namespace zf {

inline constexpr std::uint32_t kZip64EndRecordBytes = 56;
inline constexpr std::uint32_t kZip64LocatorBytes = 20;

// The value of a classic 32-bit field: the value itself, or all ones when
// the ZIP64 field carries it.
std::uint32_t ClassicField(std::uint64_t value, bool inZip64);
bool OffsetInZip64(const ZipWriter* writer, const ZipEntry* entry);
// 45 when either header of the entry has ZIP64 fields, else 20.
std::uint16_t VersionNeeded(const ZipWriter* writer, const ZipEntry* entry);

// The ZIP64 extra field of each header, and its length (0 when absent);
// each store returns the byte after the field.
std::uint32_t LocalZip64Bytes(const ZipEntry* entry);
std::uint8_t* StoreLocalZip64Field(std::uint8_t* at, const ZipEntry* entry, std::uint64_t size,
                                   std::uint64_t compressedSize);
std::uint32_t CentralZip64Bytes(const ZipWriter* writer, const ZipEntry* entry);
std::uint8_t* StoreCentralZip64Field(const ZipWriter* writer, std::uint8_t* at,
                                     const ZipEntry* entry);

// Whether the directory needs the ZIP64 end record: more entries than the
// classic count holds, or a start or size past the classic fields.
bool DirectoryInZip64(const ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                      std::uint64_t size);
// The ZIP64 end record at the writer's offset, and the locator after it.
void WriteZip64End(ZipWriter* writer, std::uint64_t count, std::uint64_t start, std::uint64_t size);

}  // namespace zf
