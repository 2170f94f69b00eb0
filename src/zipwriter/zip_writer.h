// The archive writer: the records behind one archive being written, its error
// codes and the output primitives every byte of the archive goes through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "zipwriter/failure.h"
#include "zipwriter/output_sink.h"

namespace zf {

struct DeflateState;
struct EntryFilter;
struct ParseCrew;

// Told of every block read from a source; false cancels the entry and
// makes ReadSource fail with ErrCancelled. Lets a caller show progress and
// stop a long entry midway.
using ReadHook = bool (*)(void* context, std::uint32_t bytes);

// ZipWriter::flags bits.
inline constexpr std::uint32_t kFinished = 0x08;
// The archive goes to a stream, where no header can be put right after its
// data: deflated entries carry data descriptors, and stored files are read
// for their CRC before their header. Worker writers of such an archive
// have it too, so that they build its entries alike.
inline constexpr std::uint32_t kDataDescriptors = 0x10;

inline constexpr std::uint32_t kBufferBytes = 16384;
// Archive bytes gather here and leave in one write: a header is some twenty
// fields, and a write call per field cost more than the compression of a
// small file.
inline constexpr std::uint32_t kOutputBufferBytes = 65536;
inline constexpr std::uint32_t kLocalHeaderBytes = 30;
inline constexpr std::uint32_t kCentralHeaderBytes = 46;
inline constexpr std::uint32_t kEndRecordBytes = 22;
// Room for the longest record: a central record with a name of 65,535 bytes
// and its extra fields.
inline constexpr std::uint32_t kMaxHeaderBytes = kCentralHeaderBytes + 0xFFFF + 256;
inline constexpr std::uint64_t kSizeUnknown = ~std::uint64_t{0};
inline constexpr std::int32_t kLevelStoreAll = -1;

// The largest values the classic fields hold: 32-bit sizes and offsets,
// 16-bit entry counts. A value above them goes to the ZIP64 records.
inline constexpr std::uint64_t kClassicSizeMax = 0xFFFFFFFF;
inline constexpr std::uint64_t kClassicCountMax = 0xFFFF;

// One added file, kept until the central directory is written: what the
// central record needs and nothing more, since a large tree keeps many.
// Records lie back to back in blocks (EntryBlock), each followed by its name
// and a terminating zero, padded to alignof(ZipEntry).
struct ZipEntry {
  std::uint64_t compressedSize;
  std::uint64_t size;
  std::uint64_t headerOffset;
  std::uint32_t crc;
  std::uint32_t dosDateTime;
  std::uint32_t externalAttributes;
  std::int32_t modifyTime;  // Unix seconds, for the central timestamp field
  std::uint16_t flags;
  std::uint16_t method;
  std::uint16_t internalAttributes;
  std::uint16_t nameLength;
  // One byte of flags, so that the filter's marks cost the record no room.
  bool zip64Sizes : 1;  // both headers carry the sizes in a ZIP64 field
  bool unixHost : 1;    // "made by" a Unix host: the attributes hold a POSIX mode
  // The data went through the call's filter, which changes the headers
  // (entry_filter.h); filterFieldBytes is the length of its extra field.
  bool filtered : 1;
  std::uint8_t filterFieldBytes;
  char name[1];  // nameLength bytes and a terminating zero
};

// A block of entry records; the records follow the block's own fields.
struct alignas(alignof(ZipEntry)) EntryBlock {
  EntryBlock* next;
  std::size_t used;  // bytes of records behind the block's fields
  std::size_t capacity;
};

// The call's choices: how every entry of one archive is built. Set on the
// archive's writer (its ownChoices) before its first entry is opened, and
// read-only from then on; a worker's writer points at the archive writer's
// record instead of holding a copy, so every thread reads the same values
// and none writes them.
struct CallChoices {
  // Compression level of every entry: 0 the default (8), 1 to 9, or
  // kLevelStoreAll, every entry stored whatever its name.
  std::int32_t level;
  // A path put before each entry's name with a "/" (null: none).
  const char* namePrefix;
  std::size_t namePrefixLength;
  // The latest time the archive may hold, when clampTimes is set.
  bool clampTimes;
  OsFileTime timeCeiling;
  // Entries carry their sources' own POSIX modes, where the system has them.
  bool unixModes;
  // A file whose deflated form is no smaller than the file is stored
  // instead, where the deflated bytes can still be taken back: in a file,
  // not on a stream, which has taken them already.
  bool storeIncompressible;
  // Extensions of files stored without trying deflate (IsStoredExtension's
  // list); null: the few of archivers that CompFilesToZipFile stores.
  const char* storedExtensions;
  // The filter every file entry's data goes through (entry_filter.h) and
  // what it was set up with; null: none, the data goes out as the method
  // made it.
  const EntryFilter* filter;
  const void* filterContext;
  // Hook: true for the identity of a file whose data must never enter the
  // archive: the archive itself and the call's scratch files. Null: none
  // is known. Called on the thread that opens a source, any of them.
  bool (*isOwnFile)(void* context, const OsFolderId& id);
  void* ownFileContext;
  // Test knobs: kClassicSizeMax and kClassicCountMax, lowered by tests so
  // that small trees take every ZIP64 form.
  std::uint64_t classicSizeMax;
  std::uint64_t classicCountMax;
};

// The entry being written: its source, what was read of it and what came
// out, and the method's state. One writer writes one entry at a time, on
// one thread; nothing here is read by another thread.
struct CurrentEntry {
  OsFile source;
  bool closeSource;      // the writer opened the source and closes it
  bool sourceInfoKnown;  // the source's times were read (else the current time)
  // The next entry opened is stored whatever its name: a worker found that
  // it does not shrink.
  bool storeNext;
  std::uint64_t sourceSize;  // at open; kSizeUnknown when it cannot be told
  std::uint64_t bytesRead;
  std::uint32_t crc;
  std::uint64_t compressedSize;  // bytes of the entry's data in the archive
  // Method state: the compressor, allocated on first use and kept for the
  // writer's later entries, and the threads that may parse a large source
  // in segments (segment_parse.h); null: the compressor runs alone.
  DeflateState* deflater;
  const ParseCrew* parseCrew;
  // The filter's state for this entry, made on this writer's thread when
  // the data begins; null without a filter.
  void* filterState;
};

// The archive: its output, the entries kept for its central directory and
// its failure. Written by one thread, the one that adds entries to it; a
// worker's writer is an archive of its own whose output is held apart.
struct ZipWriter {
  std::uint32_t flags;
  OutputSink sink;
  std::uint64_t offset;  // where the next record starts
  // The failure of the entry being added, or of the archive's output (which
  // sticks); ErrNone while all is well. Its systemError is the system's
  // number of the last failed open, read, write or seek.
  Failure failure;
  EntryBlock* entries;         // the first block of the kept entries
  EntryBlock* lastBlock;       // where the next entry goes
  const ZipEntry* lastKept;    // the entry kept last, for callers that report it
  std::uint64_t entryCount;    // entries kept
  std::uint64_t centralBytes;  // central directory size of the kept entries
  std::uint64_t position;      // output position as the primitives moved it
  std::uint64_t sourceBytes;   // bytes read from all entries that were kept
  // Buffered output: the last outFill bytes up to position wait in
  // outBuffer, then go to the sink.
  std::uint32_t outFill;
  // Hooks of this writer alone (a worker's writer has none): the one
  // ReadSource calls for every block (may be null), and the one called when
  // the disk of a file sink is full, true when room was made and the write
  // is tried again (may be null).
  ReadHook readHook;
  void* readHookContext;
  bool (*makeRoom)(void* context);
  void* makeRoomContext;
  // The call's choices: &ownChoices on the archive's writer, the archive
  // writer's on a worker's.
  const CallChoices* choices;
  CallChoices ownChoices;
  CurrentEntry current;
  alignas(8) std::uint8_t buffer[kBufferBytes];
  alignas(8) std::uint8_t outBuffer[kOutputBufferBytes];
  std::uint8_t header[kMaxHeaderBytes];  // where a record is composed
};

// Creates the archive file and its writer; on failure *writerOut is null.
std::int32_t OpenArchive(const char* zipPath, ZipWriter** writerOut);
// A writer whose archive goes to sink, with data descriptors when it is a
// stream; on failure *writerOut is null and the sink is closed.
std::int32_t OpenArchiveOn(const OutputSink& sink, ZipWriter** writerOut);
// Writes the central directory, closes the sink and releases the writer; a
// failed close is a failed write.
std::int32_t CloseArchive(ZipWriter* writer);
// Closes and releases without the central directory, for an archive given
// up: a stream's reader then meets an archive cut short, never a smaller
// one that looks whole.
void AbandonArchive(ZipWriter* writer);
void WriteCentralDirectory(ZipWriter* writer);
// The length the archive has once its directory is written.
std::uint64_t FinishedLength(const ZipWriter* writer);

// Output primitive: nothing is written while error is set.
void PutBytes(ZipWriter* writer, const void* data, std::uint32_t count);
// Hands the buffered bytes on; the only way out of the writer. A failure is
// ErrWrite, and after a failed write or seek nothing more goes out.
bool FlushOutput(ZipWriter* writer);
bool SeekOutput(ZipWriter* writer, std::uint64_t position);
// Takes back every byte from position on, seeking only when some of them
// have left the buffer already.
bool RewindOutput(ZipWriter* writer, std::uint64_t position);

// Adds one file; name may be null, then the path serves as the name.
std::int32_t AddEntry(ZipWriter* writer, const char* sourcePath, const char* name);
// Adds the folder at path as an entry named name and "/" (name may be ""
// under a prefix), or the symbolic link at path as a link entry.
std::int32_t AddFolderEntry(ZipWriter* writer, const char* path, const char* name);
std::int32_t AddLinkEntry(ZipWriter* writer, const char* path, const char* name);
// Reads from the current source, keeping bytesRead and crc up to date; reads
// nothing while error is set.
std::uint32_t ReadSource(ZipWriter* writer, std::uint8_t* destination, std::uint32_t count);

}  // namespace zf
