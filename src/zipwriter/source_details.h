// The metadata of one source as the archive records it: times, attributes,
// and the naming rules of an entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zipwriter/zip_writer.h"

namespace zf {

struct SourceDetails {
  std::int32_t accessTime;  // Unix seconds, UTC
  std::int32_t modifyTime;
  std::int32_t createTime;
  std::uint32_t dosDateTime;  // DOS date in the high half, DOS time in the low
  std::uint32_t externalAttributes;
  bool unixHost;  // the attributes hold the source's own POSIX mode
};

// DOS date and time of 1980-01-01 00:00:00 and of 2107-12-31 23:59:58, the
// first and last the format can hold; earlier and later times take these.
inline constexpr std::uint32_t kDosEpoch = 0x00210000;
inline constexpr std::uint32_t kDosLast = 0xFF9FBF7D;

// Fills the details of the writer's open source. ErrNone, or ErrOpen when
// the source cannot be examined.
std::int32_t ReadSourceInfo(ZipWriter* writer, SourceDetails* details);
// Fills the details from the local clock, for a source that cannot be positioned.
void CurrentDosTime(const ZipWriter* writer, SourceDetails* details);
// Fills the three times and the DOS time, none later than the writer's ceiling.
void SetDetailsTimes(const ZipWriter* writer, SourceDetails* details, const OsFileFacts& facts);
std::uint32_t FileTimeToDos(OsFileTime time);
// The times an entry stores: those the extended timestamp holds, from
// 1970-01-01 00:00:00 to 2106-02-07 06:28:15 UTC. A later time takes the
// last one; an earlier one takes 1980-01-01 00:00:00, the first the DOS
// date holds too, so that readers of either field show the same time.
OsFileTime ClampToStoredTimes(OsFileTime time);
// Unix seconds of the clamped time, as the field's 32 bits.
std::int32_t FileTimeToUnix(OsFileTime time);
// Unix seconds as a file time; the latest one for seconds past its range.
OsFileTime UnixToFileTime(std::int64_t seconds);
// The external attributes for Windows attribute bits: the low byte, and a
// Unix mode with the owner's permissions in the high half.
std::uint32_t ExternalAttributes(std::uint32_t attributes, bool executable);
// The external attributes of a source's own POSIX mode: its type and
// permission bits in the high half, the attribute bits below as
// ExternalAttributes has them. Read with a Unix "made by" host.
std::uint32_t UnixModeAttributes(std::uint32_t attributes, std::uint32_t mode);
// True when the first bytes are an MZ stub leading to a PE, NE, LE or MZ header.
bool IsExecutableHeader(OsFile source, std::uint64_t size);

// Whether name ends in "." and an extension of list: comma-separated
// extensions without their dots ("jpg,tar.zst"), matched in any ASCII case.
// A null list is the archivers' eight that CompFilesToZipFile stores.
bool IsStoredExtension(const char* name, const char* list = nullptr);
// The formats that compress their own data, for ZIPFOLDER_FLAG_STORE_TYPES.
extern const char* const kCompressedTypes;
// The length of the entry's name for name (may be "" under a prefix): the
// writer's prefix and a "/" before it, suffix after it.
std::size_t EntryNameLength(const ZipWriter* writer, const char* name, const char* suffix);
// Puts that name into the entry, every "\\" turned into "/".
void SetEntryName(const ZipWriter* writer, ZipEntry* entry, const char* name, const char* suffix);
// True for names that need the UTF-8 flag: not plain ASCII, but valid UTF-8.
bool NeedsUtf8Flag(const char* name);
// The length of the UTF-8 character at text (RFC 3629: no overlong form, no
// surrogate, nothing past U+10FFFF), or 0 when none starts there.
std::size_t Utf8CharacterLength(const unsigned char* text);

}  // namespace zf
