// The archive writer: the records behind one archive being written, its error
// codes and the output primitives every byte of the archive goes through.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zf {

struct DeflateState;

// Failure codes; fixed numbers, stored in ZipWriter::error or returned.
enum : std::int32_t {
  ErrNone = 0,
  ErrOpen = 1,       // a file cannot be created or opened, or examined
  ErrNoMemory = 2,   // a block cannot be allocated
  ErrWrite = 3,      // a write to the archive failed or fell short
  ErrTooLarge = 4,   // the entry would break a 32-bit field of the format
  ErrRead = 7,       // a read from the source failed
  ErrArgument = 9,   // no usable writer, path or name
  ErrFinished = 13,  // the central directory has been written already
  ErrSeek = 16,      // the archive output cannot be repositioned
};

// A failure of the archive output itself. The file's content and position are
// unknown from then on, so it sticks: no later entry and no central directory
// is written. Every other failure concerns one source and ends with its entry.
inline bool IsOutputFailure(std::int32_t code) { return code == ErrWrite || code == ErrSeek; }

// ZipWriter::flags bits.
inline constexpr std::uint32_t kCloseOutput = 0x02;
inline constexpr std::uint32_t kSeekable = 0x04;
inline constexpr std::uint32_t kFinished = 0x08;
inline constexpr std::uint32_t kSourceInfoKnown = 0x20;
inline constexpr std::uint32_t kCloseSource = 0x40;

inline constexpr std::uint32_t kBufferBytes = 16384;
inline constexpr std::uint32_t kLocalExtraBytes = 17;
inline constexpr std::uint32_t kCentralExtraBytes = 9;
inline constexpr std::uint32_t kLocalHeaderBytes = 30;
inline constexpr std::uint32_t kCentralHeaderBytes = 46;
inline constexpr std::uint32_t kEndRecordBytes = 22;
inline constexpr std::uint32_t kSizeUnknown = 0xFFFFFFFF;

// Without ZIP64 an archive ends below 4 GiB and counts at most 65,535
// entries. Both limits live in the writer so that tests can lower them.
inline constexpr std::uint64_t kArchiveLimit = 0xFFFFFFFFull;
inline constexpr std::uint32_t kEntryLimit = 0xFFFF;

// One added file, kept until the central directory is written. The name is
// allocated with the record, as long as it needs to be.
struct ZipEntry {
  std::uint16_t flags;
  std::uint16_t method;
  std::uint32_t dosDateTime;
  std::uint32_t crc;
  std::uint32_t compressedSize;
  std::uint32_t size;
  std::uint32_t nameLength;
  std::uint32_t localExtraLength;
  std::uint32_t centralExtraLength;
  std::uint16_t diskStart;
  std::uint16_t internalAttributes;
  std::uint16_t localFlags;
  std::uint32_t externalAttributes;
  std::uint32_t headerOffset;
  const std::uint8_t* localExtra;
  const std::uint8_t* centralExtra;
  ZipEntry* next;
  std::uint8_t centralExtraBytes[kCentralExtraBytes];
  char name[1];  // nameLength bytes and a terminating zero
};

struct ZipWriter {
  std::uint32_t flags;
  OsFile output;
  std::uint32_t offset;  // where the next record starts
  std::int32_t error;
  ZipEntry* entries;
  std::uint32_t sourceSize;
  std::uint32_t bytesRead;
  std::uint32_t crc;
  OsFile source;
  std::uint32_t compressedSize;
  DeflateState* deflater;
  // Bookkeeping of the 32-bit limits.
  ZipEntry* lastEntry;         // tail of entries, so appending is O(1)
  std::uint32_t entryCount;    // entries on the list
  std::uint64_t centralBytes;  // central directory size of the listed entries
  std::uint64_t position;      // output position as the primitives moved it
  std::uint64_t archiveLimit;  // the archive never ends past this byte count
  std::uint32_t entryLimit;    // most entries an archive takes
  std::uint64_t sourceBytes;   // bytes read from all entries that were kept
  alignas(8) std::uint8_t buffer[kBufferBytes];
};

// Creates the archive file and its writer; on failure *writerOut is null.
std::int32_t OpenArchive(const char* zipPath, ZipWriter** writerOut);
// Writes the central directory, closes the file and releases the writer.
std::int32_t CloseArchive(ZipWriter* writer);
void WriteCentralDirectory(ZipWriter* writer);

// Output primitives: nothing is written while error is set.
void PutShort(ZipWriter* writer, std::uint32_t value);
void PutBytes(ZipWriter* writer, const void* data, std::uint32_t count);
bool SeekOutput(ZipWriter* writer, std::uint32_t position);

// Adds one file; name may be null, then the path serves as the name.
std::int32_t AddEntry(ZipWriter* writer, const char* sourcePath, const char* name);
// Reads from the current source, keeping bytesRead and crc up to date; reads
// nothing while error is set.
std::uint32_t ReadSource(ZipWriter* writer, std::uint8_t* destination, std::uint32_t count);

}  // namespace zf
