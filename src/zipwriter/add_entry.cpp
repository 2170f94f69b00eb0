// Adding one file: its local header, its data (stored here or deflated by the
// compressor), the header rewritten with the final values, and the entry
// kept on the writer's list. The same steps serve an entry compressed by a
// worker's writer and placed in the archive by another.
#include <cstring>

#include "deflate/deflate.h"
#include "zipwriter/crc32.h"
#include "zipwriter/entry_list.h"
#include "zipwriter/entry_steps.h"
#include "zipwriter/format_numbers.h"
#include "zipwriter/headers.h"
#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {
namespace {

void CopyStored(ZipWriter* writer) {
  for (;;) {
    const std::uint32_t count = ReadSource(writer, writer->buffer, kBufferBytes);
    if (count == 0 || writer->error != ErrNone) return;
    PutBytes(writer, writer->buffer, count);
    writer->compressedSize += count;
  }
}

void FinishSource(ZipWriter* writer) {
  if ((writer->flags & kCloseSource) != 0) OsClose(writer->source);
  writer->flags &= ~kCloseSource;
  writer->source = kNoFile;
  writer->sourceSize = writer->bytesRead;
}

bool Streamed(const ZipWriter* writer) { return (writer->flags & kDataDescriptors) != 0; }

// Reads the whole source for its CRC and puts it back at its first byte; the
// bytes read are its size from then on. The read hook is not told: the
// bytes count once, when they are read for the entry.
std::int32_t ReadAheadForCrc(ZipWriter* writer, std::uint32_t* crc) {
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (!OsRead(writer->source, writer->buffer, kBufferBytes, &got)) {
      writer->systemError = OsLastError();
      return ErrRead;
    }
    if (got == 0) break;
    *crc = Crc32Update(*crc, writer->buffer, got);
    total += got;
  }
  if (!OsSeek(writer->source, 0)) {
    writer->systemError = OsLastError();
    return ErrRead;
  }
  writer->sourceSize = total;
  return ErrNone;
}

// A stream's entry whose header told its CRC and size, read again to other
// bytes: it changed between the two reads.
bool ChangedSinceAnnounced(const ZipWriter* writer, const ZipEntry* entry) {
  return Streamed(writer) && (entry->flags & kFlagDataDescriptor) == 0 &&
         (writer->crc != entry->crc || writer->bytesRead != entry->size);
}

// The archive fails once a stream has taken bytes of an entry that failed.
void BreakStream(ZipWriter* writer, std::int32_t cause) {
  writer->error = ErrStreamBroken;
  writer->brokenBy = cause;
}

// Gives up an entry whose header was begun: the next record takes its place,
// so neither the offsets nor the file keep anything of it. On a stream that
// holds only while its bytes are all still in the buffer; after a failed
// write there is nothing to take back.
std::int32_t DropEntry(ZipWriter* writer, const ZipEntry* entry) {
  FinishSource(writer);
  const std::int32_t cause = writer->error;
  if (Streamed(writer) && IsOutputFailure(cause)) return cause;
  writer->offset = entry->headerOffset;
  if (!RewindOutput(writer, writer->offset) && Streamed(writer)) BreakStream(writer, cause);
  return writer->error;
}

// On a stream the entry's form is settled before its header goes out, from
// the size at open: ZIP64 when its data might not fit the classic fields.
// Deflated data comes out at most an eighth larger than its source (nine
// bits for a literal in the fixed codes, less for any match), and a block
// of at least a few thousand bytes costs a few bytes more; a size not known
// takes the ZIP64 form.
bool StreamsInZip64(const ZipWriter* writer, std::uint16_t method, std::uint64_t size) {
  if (size == kSizeUnknown) return true;
  const std::uint64_t most = method == 0 ? size : size + size / 7 + 64;
  return most > writer->classicSizeMax;
}

void WriteData(ZipWriter* writer, ZipEntry* entry) {
  if (entry->method == 8) {
    DeflateEntry(entry, writer);
  } else {
    CopyStored(writer);
  }
}

// A header begun without the ZIP64 field, for data that does not fit the
// classic fields after all.
bool Outgrows(const ZipWriter* writer, const ZipEntry* entry, std::uint64_t size,
              std::uint64_t compressedSize) {
  return !entry->zip64Sizes &&
         (size > writer->classicSizeMax || compressedSize > writer->classicSizeMax);
}

// Reads the source again from its first byte into the entry begun at its
// header. False when the source cannot be read from its start again.
bool StartOver(ZipWriter* writer, ZipEntry* entry) {
  if (writer->sourceSize == kSizeUnknown || !OsSeek(writer->source, 0)) return false;
  writer->bytesRead = 0;
  writer->crc = 0;
  writer->compressedSize = 0;
  writer->offset = entry->headerOffset;
  return RewindOutput(writer, writer->offset);
}

// The header was written without the ZIP64 field, since the source was
// smaller when opened, but the data did not fit the classic fields: the
// source grew, or its deflated form came out larger than the source. The
// header has no room to grow in place, so the entry starts over from its
// header, this time with the field.
bool StartOverWithZip64(ZipWriter* writer, ZipEntry* entry) {
  entry->zip64Sizes = true;
  return StartOver(writer, entry);
}

// The source ended before the size it had when its reading began: it was
// cut while read, and the bytes read are neither the file as it was nor as
// it is. It is read again whole, at the size it has now.
bool Shrank(const ZipWriter* writer) {
  return writer->sourceSize != kSizeUnknown && writer->bytesRead < writer->sourceSize;
}

bool StartOverShorter(ZipWriter* writer, ZipEntry* entry) {
  OsFileFacts facts;
  if (!OsGetFacts(writer->source, &facts)) return false;
  writer->sourceSize = facts.size;
  return StartOver(writer, entry);
}

// Deflate made the file no smaller, and the archive may still take the
// deflated bytes back.
bool NotSmaller(const ZipWriter* writer, const ZipEntry* entry) {
  return writer->storeIncompressible && !Streamed(writer) && entry->method == 8 &&
         writer->compressedSize >= writer->bytesRead;
}

// The entry as it is when stored from the start.
void MakeStored(ZipEntry* entry) {
  entry->method = 0;
  entry->flags &= static_cast<std::uint16_t>(~kFlagLevelBits);
  entry->internalAttributes = 0;
}

// Takes the final values into the entry once its data is complete. A
// stream's entry whose header told them has them already, checked equal,
// and the writer's thread may be writing that header from them meanwhile.
void CompleteEntry(ZipWriter* writer, ZipEntry* entry) {
  if (Streamed(writer) && (entry->flags & kFlagDataDescriptor) == 0) return;
  entry->crc = writer->crc;
  entry->compressedSize = writer->compressedSize;
  entry->size = writer->sourceSize;
  if (!Streamed(writer)) entry->flags &= static_cast<std::uint16_t>(~kFlagDataDescriptor);
}

// A stream's entry ends with its descriptor when it has one (a deflated
// entry does, a stored one not), unless it outgrew its form:
// then the call fails, as the header that claimed the form is gone.
void EndStreamedEntry(ZipWriter* writer, const ZipEntry* entry) {
  if (Outgrows(writer, entry, entry->size, entry->compressedSize)) {
    BreakStream(writer, ErrTooLarge);
    return;
  }
  if ((entry->flags & kFlagDataDescriptor) == 0) return;
  WriteDataDescriptor(writer, entry);
  if (writer->error == ErrNone) writer->offset += DataDescriptorBytes(entry);
}

// Puts the final header over the first one: in the output buffer while the
// header is still there, so that a small entry costs no seek and no write.
void RewriteLocalHeader(ZipWriter* writer, const ZipEntry* entry, const SourceDetails& details) {
  const std::uint32_t length = ComposeLocalHeader(writer, entry, details, writer->header);
  const std::uint64_t buffered = writer->position - writer->outFill;
  if (entry->headerOffset < buffered) {
    if (!SeekOutput(writer, entry->headerOffset)) return;
    PutBytes(writer, writer->header, length);
    if (writer->error == ErrNone) SeekOutput(writer, writer->offset);
    return;
  }
  std::memcpy(writer->outBuffer + (entry->headerOffset - buffered), writer->header, length);
}

// Stands in for a header whose values are not known yet: same length, and
// overwritten before the archive is closed.
void PutZeros(ZipWriter* writer, std::uint32_t count) {
  static constexpr std::uint32_t kRun = 64;
  static constexpr std::uint8_t kZeros[kRun] = {};
  for (; count > kRun; count -= kRun) PutBytes(writer, kZeros, kRun);
  PutBytes(writer, kZeros, count);
}

// Writes the entry's header, data and final header; the writer's error tells
// the outcome. The source is finished on success.
void WriteEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details) {
  entry->headerOffset = writer->offset;
  bool readAgain = false;
  for (;;) {
    WriteLocalHeader(writer, entry, details);
    if (writer->error != ErrNone) return;
    writer->offset += LocalHeaderBytes(entry);
    WriteData(writer, entry);
    if (writer->error == ErrNone && ChangedSinceAnnounced(writer, entry))
      writer->error = ErrChanged;
    if (writer->error != ErrNone) return;
    // A stream has taken the bytes already: they stay as read, and the
    // data descriptor tells the size they make.
    if (Streamed(writer)) break;
    // Cut again while read again: it is left out rather than packed cut off.
    if (Shrank(writer)) {
      if (readAgain || !StartOverShorter(writer, entry)) {
        if (writer->error == ErrNone) writer->error = ErrChanged;
        return;
      }
      readAgain = true;
      continue;
    }
    if (Outgrows(writer, entry, writer->bytesRead, writer->compressedSize)) {
      if (!StartOverWithZip64(writer, entry)) {
        if (writer->error == ErrNone) writer->error = ErrTooLarge;
        return;
      }
      continue;
    }
    // Read again and stored; a source that cannot be read again keeps its
    // deflated form, which is whole.
    if (!NotSmaller(writer, entry) || writer->sourceSize == kSizeUnknown) break;
    MakeStored(entry);
    if (!StartOver(writer, entry)) {
      if (writer->error == ErrNone) writer->error = ErrRead;
      return;
    }
  }
  FinishSource(writer);
  writer->offset += writer->compressedSize;
  CompleteEntry(writer, entry);
  if (Streamed(writer)) {
    EndStreamedEntry(writer, entry);
  } else {
    RewriteLocalHeader(writer, entry, details);
  }
}

}  // namespace

std::uint32_t ReadSource(ZipWriter* writer, std::uint8_t* destination, std::uint32_t count) {
  // Once the entry has failed nothing more is read: a read failure must not
  // replace a failed write, which concerns the whole archive.
  if (writer->error != ErrNone) return 0;
  std::uint32_t got = 0;
  if (!OsRead(writer->source, destination, count, &got)) {
    writer->systemError = OsLastError();
    writer->error = ErrRead;
    return 0;
  }
  if (writer->readHook != nullptr && !writer->readHook(writer->readHookContext, got)) {
    writer->error = ErrCancelled;
    return 0;
  }
  writer->bytesRead += got;
  writer->crc = Crc32Update(writer->crc, destination, got);
  return got;
}

std::int32_t OpenEntry(ZipWriter* writer, const char* sourcePath, const char* name,
                       SourceDetails* details, ZipEntry* (*room)(ZipWriter*, std::size_t),
                       ZipEntry** entryOut) {
  *entryOut = nullptr;
  if (writer == nullptr) return ErrArgument;
  if ((writer->flags & kFinished) != 0) return ErrFinished;
  // An output failure concerns the whole archive: no entry follows it.
  if (IsOutputFailure(writer->error)) return writer->error;
  writer->error = ErrNone;
  writer->bytesRead = 0;
  writer->compressedSize = 0;
  writer->crc = 0;
  writer->flags &= ~(kSourceInfoKnown | kCloseSource);
  if (sourcePath == nullptr) return ErrArgument;
  if (name == nullptr) name = sourcePath;
  const std::size_t nameLength = EntryNameLength(writer, name, "");
  if (*name == 0 || nameLength > 0xFFFF) return ErrArgument;

  writer->systemError = 0;
  OsFolderId id{};
  writer->source = OsOpenSource(sourcePath, writer->isOwnFile != nullptr ? &id : nullptr);
  const bool own = writer->isOwnFile != nullptr && id.index != 0 &&
                   writer->isOwnFile(writer->ownFileContext, id);
  if (writer->source == kNoFile || own) {
    writer->systemError = own ? 0 : OsLastError();
    OsClose(writer->source);
    writer->source = kNoFile;
    return own ? ErrOwnFile : ErrOpen;
  }
  writer->flags |= kCloseSource;
  const std::int32_t code = ReadSourceInfo(writer, details);
  if (code != ErrNone) {
    if (code == ErrOpen) writer->systemError = OsLastError();
    FinishSource(writer);
    return code;
  }
  if ((writer->flags & kSourceInfoKnown) == 0) CurrentDosTime(writer, details);
  const bool stored = writer->level == kLevelStoreAll || writer->storeNext ||
                      IsStoredExtension(name, writer->storedExtensions);
  writer->storeNext = false;
  // A stored file on a stream is read once before its header, which then
  // carries its CRC and sizes: a reader that reads forward only cannot
  // find the end of stored data without them.
  std::uint32_t crc = 0;
  const bool announced = Streamed(writer) && stored && writer->sourceSize != kSizeUnknown;
  const std::int32_t readAhead = announced ? ReadAheadForCrc(writer, &crc) : ErrNone;
  ZipEntry* entry = readAhead == ErrNone ? room(writer, nameLength) : nullptr;
  if (entry == nullptr) {
    FinishSource(writer);
    return readAhead == ErrNone ? ErrNoMemory : readAhead;
  }

  SetEntryName(writer, entry, name, "");
  entry->externalAttributes = details->externalAttributes;
  entry->unixHost = details->unixHost;
  entry->dosDateTime = details->dosDateTime;
  entry->modifyTime = details->modifyTime;
  entry->flags = announced ? 0 : kFlagDataDescriptor;
  if (NeedsUtf8Flag(entry->name)) entry->flags |= kFlagUtf8;
  entry->method = stored ? 0 : 8;
  entry->crc = crc;
  // On a stream the header goes out before the compressor has said anything.
  if (Streamed(writer) && entry->method == 8) entry->flags |= DeflateFlags(writer);
  if (entry->method == 0 && writer->sourceSize != kSizeUnknown) {
    entry->compressedSize = writer->sourceSize;
  }
  entry->size = writer->sourceSize;
  // A source known to be large gets the ZIP64 field in its first header.
  entry->zip64Sizes = Streamed(writer) ? StreamsInZip64(writer, entry->method, writer->sourceSize)
                                       : writer->sourceSize != kSizeUnknown &&
                                             writer->sourceSize > writer->classicSizeMax;
  *entryOut = entry;
  return ErrNone;
}

std::int32_t AddEntry(ZipWriter* writer, const char* sourcePath, const char* name) {
  SourceDetails details;
  ZipEntry* entry = nullptr;
  const std::int32_t code = OpenEntry(writer, sourcePath, name, &details, ReserveEntry, &entry);
  if (code != ErrNone) return code;
  WriteEntry(writer, entry, details);
  if (writer->error != ErrNone) return DropEntry(writer, entry);
  KeepEntry(writer, entry);
  return ErrNone;
}

void CompressSource(ZipWriter* writer, ZipEntry* entry) {
  WriteData(writer, entry);
  // Its output is gone already: the placing writer adds it again itself.
  if (writer->error == ErrNone && (Shrank(writer) || ChangedSinceAnnounced(writer, entry))) {
    writer->error = ErrChanged;
  }
  if (writer->error == ErrNone && NotSmaller(writer, entry)) writer->error = ErrNotSmaller;
  FinishSource(writer);
  if (writer->error == ErrNone) CompleteEntry(writer, entry);
}

void BeginCopiedEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details,
                      bool headerFinal) {
  entry->headerOffset = writer->offset;
  if (!IsOutputFailure(writer->error)) writer->error = ErrNone;
  if (Streamed(writer)) {
    // On a stream the header is the same whenever the data is complete.
    WriteLocalHeader(writer, entry, details);
  } else if (headerFinal) {
    // The data is the same whichever header stands before it: one that
    // outgrew the classic fields only needs the ZIP64 field there.
    if (Outgrows(writer, entry, entry->size, entry->compressedSize)) entry->zip64Sizes = true;
    WriteLocalHeader(writer, entry, details);
  } else {
    PutZeros(writer, LocalHeaderBytes(entry));
  }
  if (writer->error == ErrNone) writer->offset += LocalHeaderBytes(entry);
}

std::int32_t EndCopiedEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details,
                            std::int32_t code, bool headerFinal) {
  if (writer->error == ErrNone) writer->error = code;
  if (writer->error == ErrNone && Streamed(writer)) {
    writer->offset += entry->compressedSize;
    EndStreamedEntry(writer, entry);
  } else if (writer->error == ErrNone) {
    writer->offset += entry->compressedSize;
    // A header reserved before the entry was found to need the ZIP64 field
    // is too short for it: the caller adds the file again itself.
    if (!headerFinal && Outgrows(writer, entry, entry->size, entry->compressedSize)) {
      writer->error = ErrTooLarge;
    } else if (!headerFinal) {
      RewriteLocalHeader(writer, entry, details);
    }
  }
  if (writer->error == ErrNone) {
    ZipEntry* kept = ReserveEntry(writer, entry->nameLength);
    if (kept == nullptr) {
      writer->error = ErrNoMemory;
    } else {
      std::memcpy(kept, entry, EntryRecordBytes(entry->nameLength));
      KeepEntry(writer, kept);
      return ErrNone;
    }
  }
  const std::int32_t failed = writer->error;
  DropEntry(writer, entry);
  return IsOutputFailure(writer->error) ? writer->error : failed;
}

}  // namespace zf
