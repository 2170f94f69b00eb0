// The layouts of the archive's records. Every field goes out through
// PutShort, little-endian, a 32-bit field as two halves, low half first.
//
// Each extra area holds its fields in one fixed order: the ZIP64 field
// (0x0001) when the entry needs one, then the extended timestamp (0x5455),
// with all three times in the local header and the modification time alone
// in the central record.
#pragma once

#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {

// General-purpose flag bits.
inline constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr std::uint16_t kFlagUtf8 = 0x0800;

// "Made by" hosts: every entry names the one it always has, but a link,
// which readers restore as a link only from a Unix host.
inline constexpr std::uint32_t kHostDefault = 11;
inline constexpr std::uint32_t kHostUnix = 3;

// Unix modes of the external attributes' high half.
inline constexpr std::uint32_t kUnixTypeMask = 0170000;
inline constexpr std::uint32_t kUnixLinkMode = 0120777;  // a link, permissions 0777

void PutWord(ZipWriter* writer, std::uint32_t value);
void PutLong(ZipWriter* writer, std::uint64_t value);

// The local header in front of an entry's data; details gives its times.
void WriteLocalHeader(ZipWriter* writer, const ZipEntry* entry, const SourceDetails& details);
std::uint32_t LocalHeaderBytes(const ZipEntry* entry);
// The entry's record in the central directory.
void WriteCentralHeader(ZipWriter* writer, const ZipEntry* entry);
std::uint32_t CentralRecordBytes(const ZipWriter* writer, const ZipEntry* entry);
// The end records of count entries in a directory from start to the
// writer's offset; the offset moves past them.
void WriteEndRecords(ZipWriter* writer, std::uint64_t count, std::uint64_t start);
std::uint32_t EndRecordsBytes(const ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                              std::uint64_t size);

}  // namespace zf
