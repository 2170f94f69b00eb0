// The layouts of the archive's records. Each record is composed as bytes,
// little-endian, from the entry record (or the directory's totals), and
// goes out in one piece through PutBytes.
//
// Each extra area holds its fields in one fixed order: the ZIP64 field
// (0x0001) when the entry needs one, then the extended timestamp (0x5455),
// with all three times in the local header and the modification time alone
// in the central record, then the filter's field when the entry's data went
// through a filter (entry_filter.h).
#pragma once

#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {

// Little-endian stores; each returns the byte after the value.
std::uint8_t* Store16(std::uint8_t* at, std::uint32_t value);
std::uint8_t* Store32(std::uint8_t* at, std::uint32_t value);
std::uint8_t* Store64(std::uint8_t* at, std::uint64_t value);

// The local header in front of an entry's data, details giving its times,
// composed at out (LocalHeaderBytes long, at most kMaxHeaderBytes). On a
// stream its CRC and sizes are zeros when the data descriptor carries them.
std::uint32_t ComposeLocalHeader(const ZipWriter* writer, const ZipEntry* entry,
                                 const SourceDetails& details, std::uint8_t* out);
void WriteLocalHeader(ZipWriter* writer, const ZipEntry* entry, const SourceDetails& details);
std::uint32_t LocalHeaderBytes(const ZipEntry* entry);
// The data descriptor after an entry's data on a stream: its CRC and sizes,
// the sizes in 8 bytes when the entry takes the ZIP64 form.
void WriteDataDescriptor(ZipWriter* writer, const ZipEntry* entry);
std::uint32_t DataDescriptorBytes(const ZipEntry* entry);
// The entry's record in the central directory.
void WriteCentralHeader(ZipWriter* writer, const ZipEntry* entry);
std::uint32_t CentralRecordBytes(const ZipWriter* writer, const ZipEntry* entry);
// The end records of count entries in a directory from start to the
// writer's offset; the offset moves past them.
void WriteEndRecords(ZipWriter* writer, std::uint64_t count, std::uint64_t start);
std::uint32_t EndRecordsBytes(const ZipWriter* writer, std::uint64_t count, std::uint64_t start,
                              std::uint64_t size);

}  // namespace zf
