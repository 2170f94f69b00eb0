// Adding one file: its local header, its data (made by the entry's method
// and put through the filter stage), the header rewritten with the final values, and the entry
// kept on the writer's list. The same steps serve an entry compressed by a
// worker's writer and placed in the archive by another.
#include <cstring>

#include "zipwriter/crc32.h"
#include "zipwriter/entry_filter.h"
#include "zipwriter/entry_list.h"
#include "zipwriter/entry_methods.h"
#include "zipwriter/entry_steps.h"
#include "zipwriter/format_numbers.h"
#include "zipwriter/headers.h"
#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {
namespace {

void FinishSource(ZipWriter* writer) {
  if (writer->current.closeSource) OsClose(writer->current.source);
  writer->current.closeSource = false;
  writer->current.source = kNoFile;
  writer->current.sourceSize = writer->current.bytesRead;
}

bool Streamed(const ZipWriter* writer) { return (writer->flags & kDataDescriptors) != 0; }

// Reads the whole source for its CRC and puts it back at its first byte; the
// bytes read are its size from then on. The read hook is not told: the
// bytes count once, when they are read for the entry.
std::int32_t ReadAheadForCrc(ZipWriter* writer, std::uint32_t* crc) {
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (!OsRead(writer->current.source, writer->buffer, kBufferBytes, &got)) {
      writer->failure.systemError = OsLastError();
      return ErrRead;
    }
    if (got == 0) break;
    *crc = Crc32Update(*crc, writer->buffer, got);
    total += got;
  }
  if (!OsSeek(writer->current.source, 0)) {
    writer->failure.systemError = OsLastError();
    return ErrRead;
  }
  writer->current.sourceSize = total;
  return ErrNone;
}

// A stream's entry whose header told its CRC and size, read again to other
// bytes: it changed between the two reads.
bool ChangedSinceAnnounced(const ZipWriter* writer, const ZipEntry* entry) {
  return Streamed(writer) && (entry->flags & kFlagDataDescriptor) == 0 &&
         (writer->current.crc != entry->crc || writer->current.bytesRead != entry->size);
}

// The archive fails once a stream has taken bytes of an entry that failed.
void BreakStream(ZipWriter* writer, std::int32_t cause) {
  writer->failure.code = ErrStreamBroken;
  writer->failure.brokenBy = cause;
}

// Gives up an entry whose header was begun: the next record takes its place,
// so neither the offsets nor the file keep anything of it. On a stream that
// holds only while its bytes are all still in the buffer; after a failed
// write there is nothing to take back.
std::int32_t DropEntry(ZipWriter* writer, const ZipEntry* entry) {
  FinishSource(writer);
  const std::int32_t cause = writer->failure.code;
  if (Streamed(writer) && IsOutputFailure(cause)) return cause;
  writer->offset = entry->headerOffset;
  if (!RewindOutput(writer, writer->offset) && Streamed(writer)) BreakStream(writer, cause);
  return writer->failure.code;
}

// On a stream the entry's form is settled before its header goes out, from
// the size at open: ZIP64 when its data might not fit the classic fields,
// at the most its method and filter make of it; a size not known takes the
// ZIP64 form.
bool StreamsInZip64(const ZipWriter* writer, const ZipEntry* entry, std::uint64_t size) {
  if (size == kSizeUnknown) return true;
  const std::uint64_t most =
      MethodFor(entry->method).sizeBound(size) + FilterOverhead(*writer->choices, entry);
  return most > writer->choices->classicSizeMax;
}

// The road of the entry's bytes: the source read by its method, the
// method's output through the filter stage, and on into the archive.
void WriteData(ZipWriter* writer, ZipEntry* entry) {
  const EntryMethod& method = MethodFor(entry->method);
  if (method.begin(writer, entry) && BeginEntryData(writer, entry)) {
    method.write(writer, entry);
    method.finish(writer, entry);
  }
  EndEntryData(writer);
}

// A header begun without the ZIP64 field, for data that does not fit the
// classic fields after all.
bool Outgrows(const ZipWriter* writer, const ZipEntry* entry, std::uint64_t size,
              std::uint64_t compressedSize) {
  return !entry->zip64Sizes && (size > writer->choices->classicSizeMax ||
                                compressedSize > writer->choices->classicSizeMax);
}

// Reads the source again from its first byte into the entry begun at its
// header. False when the source cannot be read from its start again.
bool StartOver(ZipWriter* writer, ZipEntry* entry) {
  if (writer->current.sourceSize == kSizeUnknown || !OsSeek(writer->current.source, 0))
    return false;
  writer->current.bytesRead = 0;
  writer->current.crc = 0;
  writer->current.compressedSize = 0;
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
  return writer->current.sourceSize != kSizeUnknown &&
         writer->current.bytesRead < writer->current.sourceSize;
}

bool StartOverShorter(ZipWriter* writer, ZipEntry* entry) {
  OsFileFacts facts;
  if (!OsGetFacts(writer->current.source, &facts)) return false;
  writer->current.sourceSize = facts.size;
  return StartOver(writer, entry);
}

// Deflate made the file no smaller, and the archive may still take the
// deflated bytes back. The filter's bytes come either way: they do not count.
bool NotSmaller(const ZipWriter* writer, const ZipEntry* entry) {
  return writer->choices->storeIncompressible && !Streamed(writer) &&
         entry->method == kMethodDeflated &&
         writer->current.compressedSize - FilterOverhead(*writer->choices, entry) >=
             writer->current.bytesRead;
}

// The entry as it is when stored from the start.
void MakeStored(ZipEntry* entry) {
  entry->method = kMethodStored;
  entry->flags &= static_cast<std::uint16_t>(~kFlagLevelBits);
  entry->internalAttributes = 0;
}

// Takes the final values into the entry once its data is complete. A
// stream's entry whose header told them has them already, checked equal,
// and the writer's thread may be writing that header from them meanwhile.
void CompleteEntry(ZipWriter* writer, ZipEntry* entry) {
  if (Streamed(writer) && (entry->flags & kFlagDataDescriptor) == 0) return;
  entry->crc = writer->current.crc;
  entry->compressedSize = writer->current.compressedSize;
  entry->size = writer->current.sourceSize;
  if (!Streamed(writer) && !KeepsDescriptor(*writer->choices, entry)) {
    entry->flags &= static_cast<std::uint16_t>(~kFlagDataDescriptor);
  }
}

// The data descriptor after the data, when the entry has one.
void PutDataDescriptor(ZipWriter* writer, const ZipEntry* entry) {
  if ((entry->flags & kFlagDataDescriptor) == 0) return;
  WriteDataDescriptor(writer, entry);
  if (writer->failure.code == ErrNone) writer->offset += DataDescriptorBytes(entry);
}

// A stream's entry ends with its descriptor when it has one (a deflated
// entry does, a stored one not), unless it outgrew its form:
// then the call fails, as the header that claimed the form is gone.
void EndStreamedEntry(ZipWriter* writer, const ZipEntry* entry) {
  if (Outgrows(writer, entry, entry->size, entry->compressedSize)) {
    BreakStream(writer, ErrTooLarge);
    return;
  }
  PutDataDescriptor(writer, entry);
}

// Puts the final header over the first one: in the output buffer while the
// header is still there, so that a small entry costs no seek and no write.
void RewriteLocalHeader(ZipWriter* writer, const ZipEntry* entry, const SourceDetails& details) {
  const std::uint32_t length = ComposeLocalHeader(writer, entry, details, writer->header);
  const std::uint64_t buffered = writer->position - writer->outFill;
  if (entry->headerOffset < buffered) {
    if (!SeekOutput(writer, entry->headerOffset)) return;
    PutBytes(writer, writer->header, length);
    if (writer->failure.code == ErrNone) SeekOutput(writer, writer->offset);
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
    if (writer->failure.code != ErrNone) return;
    writer->offset += LocalHeaderBytes(entry);
    WriteData(writer, entry);
    if (writer->failure.code == ErrNone && ChangedSinceAnnounced(writer, entry))
      writer->failure.code = ErrChanged;
    if (writer->failure.code != ErrNone) return;
    // A stream has taken the bytes already: they stay as read, and the
    // data descriptor tells the size they make.
    if (Streamed(writer)) break;
    // Cut again while read again: it is left out rather than packed cut off.
    if (Shrank(writer)) {
      if (readAgain || !StartOverShorter(writer, entry)) {
        if (writer->failure.code == ErrNone) writer->failure.code = ErrChanged;
        return;
      }
      readAgain = true;
      continue;
    }
    if (Outgrows(writer, entry, writer->current.bytesRead, writer->current.compressedSize)) {
      if (!StartOverWithZip64(writer, entry)) {
        if (writer->failure.code == ErrNone) writer->failure.code = ErrTooLarge;
        return;
      }
      continue;
    }
    // Read again and stored; a source that cannot be read again keeps its
    // deflated form, which is whole.
    if (!NotSmaller(writer, entry) || writer->current.sourceSize == kSizeUnknown) break;
    MakeStored(entry);
    if (!StartOver(writer, entry)) {
      if (writer->failure.code == ErrNone) writer->failure.code = ErrRead;
      return;
    }
  }
  FinishSource(writer);
  writer->offset += writer->current.compressedSize;
  CompleteEntry(writer, entry);
  if (Streamed(writer)) {
    EndStreamedEntry(writer, entry);
  } else {
    PutDataDescriptor(writer, entry);
    RewriteLocalHeader(writer, entry, details);
  }
}

}  // namespace

std::uint32_t ReadSource(ZipWriter* writer, std::uint8_t* destination, std::uint32_t count) {
  // Once the entry has failed nothing more is read: a read failure must not
  // replace a failed write, which concerns the whole archive.
  if (writer->failure.code != ErrNone) return 0;
  std::uint32_t got = 0;
  if (!OsRead(writer->current.source, destination, count, &got)) {
    writer->failure.systemError = OsLastError();
    writer->failure.code = ErrRead;
    return 0;
  }
  if (writer->readHook != nullptr && !writer->readHook(writer->readHookContext, got)) {
    writer->failure.code = ErrCancelled;
    return 0;
  }
  writer->current.bytesRead += got;
  writer->current.crc = Crc32Update(writer->current.crc, destination, got);
  return got;
}

std::int32_t OpenEntry(ZipWriter* writer, const char* sourcePath, const char* name,
                       SourceDetails* details, ZipEntry* (*room)(ZipWriter*, std::size_t),
                       ZipEntry** entryOut) {
  *entryOut = nullptr;
  if (writer == nullptr) return ErrArgument;
  if ((writer->flags & kFinished) != 0) return ErrFinished;
  // An output failure concerns the whole archive: no entry follows it.
  if (IsOutputFailure(writer->failure.code)) return writer->failure.code;
  writer->failure.code = ErrNone;
  writer->current.bytesRead = 0;
  writer->current.compressedSize = 0;
  writer->current.crc = 0;
  writer->current.sourceInfoKnown = false;
  writer->current.closeSource = false;
  if (sourcePath == nullptr) return ErrArgument;
  if (name == nullptr) name = sourcePath;
  const std::size_t nameLength = EntryNameLength(writer, name, "");
  if (*name == 0 || nameLength > 0xFFFF) return ErrArgument;

  writer->failure.systemError = 0;
  OsFolderId id{};
  writer->current.source =
      OsOpenSource(sourcePath, writer->choices->isOwnFile != nullptr ? &id : nullptr);
  const bool own = writer->choices->isOwnFile != nullptr && id.index != 0 &&
                   writer->choices->isOwnFile(writer->choices->ownFileContext, id);
  if (writer->current.source == kNoFile || own) {
    writer->failure.systemError = own ? 0 : OsLastError();
    OsClose(writer->current.source);
    writer->current.source = kNoFile;
    return own ? ErrOwnFile : ErrOpen;
  }
  writer->current.closeSource = true;
  const std::int32_t code = ReadSourceInfo(writer, details);
  if (code != ErrNone) {
    if (code == ErrOpen) writer->failure.systemError = OsLastError();
    FinishSource(writer);
    return code;
  }
  if (!writer->current.sourceInfoKnown) CurrentDosTime(writer, details);
  const bool stored = writer->choices->level == kLevelStoreAll || writer->current.storeNext ||
                      IsStoredExtension(name, writer->choices->storedExtensions);
  writer->current.storeNext = false;
  // A stored file on a stream is read once before its header, which then
  // carries its CRC and sizes: a reader that reads forward only cannot
  // find the end of stored data without them.
  std::uint32_t crc = 0;
  const bool announced = Streamed(writer) && stored && writer->current.sourceSize != kSizeUnknown;
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
  entry->method = stored ? kMethodStored : kMethodDeflated;
  entry->crc = crc;
  MarkFiltered(*writer->choices, entry);
  // On a stream the header goes out before the compressor has said anything.
  if (Streamed(writer)) entry->flags |= MethodFor(entry->method).flagBits(*writer->choices);
  if (entry->method == kMethodStored && writer->current.sourceSize != kSizeUnknown) {
    entry->compressedSize = writer->current.sourceSize + FilterOverhead(*writer->choices, entry);
  }
  entry->size = writer->current.sourceSize;
  // A source known to be large gets the ZIP64 field in its first header.
  entry->zip64Sizes = Streamed(writer)
                          ? StreamsInZip64(writer, entry, writer->current.sourceSize)
                          : writer->current.sourceSize != kSizeUnknown &&
                                writer->current.sourceSize > writer->choices->classicSizeMax;
  *entryOut = entry;
  return ErrNone;
}

std::int32_t AddEntry(ZipWriter* writer, const char* sourcePath, const char* name) {
  SourceDetails details;
  ZipEntry* entry = nullptr;
  const std::int32_t code = OpenEntry(writer, sourcePath, name, &details, ReserveEntry, &entry);
  if (code != ErrNone) return code;
  WriteEntry(writer, entry, details);
  if (writer->failure.code != ErrNone) return DropEntry(writer, entry);
  KeepEntry(writer, entry);
  return ErrNone;
}

void CompressSource(ZipWriter* writer, ZipEntry* entry) {
  WriteData(writer, entry);
  // Its output is gone already: the placing writer adds it again itself.
  if (writer->failure.code == ErrNone && (Shrank(writer) || ChangedSinceAnnounced(writer, entry))) {
    writer->failure.code = ErrChanged;
  }
  if (writer->failure.code == ErrNone && NotSmaller(writer, entry))
    writer->failure.code = ErrNotSmaller;
  FinishSource(writer);
  if (writer->failure.code == ErrNone) CompleteEntry(writer, entry);
}

void BeginCopiedEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details,
                      bool headerFinal) {
  entry->headerOffset = writer->offset;
  if (!IsOutputFailure(writer->failure.code)) writer->failure.code = ErrNone;
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
  if (writer->failure.code == ErrNone) writer->offset += LocalHeaderBytes(entry);
}

std::int32_t EndCopiedEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details,
                            std::int32_t code, bool headerFinal) {
  if (writer->failure.code == ErrNone) writer->failure.code = code;
  if (writer->failure.code == ErrNone && Streamed(writer)) {
    writer->offset += entry->compressedSize;
    EndStreamedEntry(writer, entry);
  } else if (writer->failure.code == ErrNone) {
    writer->offset += entry->compressedSize;
    PutDataDescriptor(writer, entry);
    // A header reserved before the entry was found to need the ZIP64 field
    // is too short for it: the caller adds the file again itself.
    if (!headerFinal && Outgrows(writer, entry, entry->size, entry->compressedSize)) {
      writer->failure.code = ErrTooLarge;
    } else if (!headerFinal) {
      RewriteLocalHeader(writer, entry, details);
    }
  }
  if (writer->failure.code == ErrNone) {
    ZipEntry* kept = ReserveEntry(writer, entry->nameLength);
    if (kept == nullptr) {
      writer->failure.code = ErrNoMemory;
    } else {
      std::memcpy(kept, entry, EntryRecordBytes(entry->nameLength));
      KeepEntry(writer, kept);
      return ErrNone;
    }
  }
  const std::int32_t failed = writer->failure.code;
  DropEntry(writer, entry);
  return IsOutputFailure(writer->failure.code) ? writer->failure.code : failed;
}

}  // namespace zf
