// Adding one file: its local header, its data (stored here or deflated by the
// compressor), the header rewritten with the final values, and the entry
// appended to the writer's list.
#include <cstring>

#include "deflate/deflate.h"
#include "zipwriter/crc32.h"
#include "zipwriter/entry_list.h"
#include "zipwriter/headers.h"
#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {
namespace {

constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8 = 0x0800;

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

// Gives up an entry whose header was begun: the next record takes its place,
// so neither the offsets nor the file keep anything of it.
std::int32_t DropEntry(ZipWriter* writer, const ZipEntry* entry) {
  FinishSource(writer);
  writer->offset = entry->headerOffset;
  SeekOutput(writer, writer->offset);
  return writer->error;
}

void WriteHeaderAndData(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details) {
  WriteLocalHeader(writer, entry, details);
  if (writer->error != ErrNone) return;
  writer->offset += LocalHeaderBytes(entry);
  if (entry->method == 8) {
    DeflateEntry(entry, writer);
  } else {
    CopyStored(writer);
  }
}

// The header was written without the ZIP64 field, since the source was
// smaller when opened, but the data did not fit the classic fields: the
// source grew, or its deflated form came out larger than the source. The
// header has no room to grow in place, so the entry starts over from its
// header, this time with the field. False when the source cannot be read
// from its start again.
bool StartOverWithZip64(ZipWriter* writer, ZipEntry* entry) {
  if (writer->sourceSize == kSizeUnknown || !OsSeek(writer->source, 0)) return false;
  writer->bytesRead = 0;
  writer->crc = 0;
  writer->compressedSize = 0;
  entry->zip64Sizes = true;
  writer->offset = entry->headerOffset;
  return SeekOutput(writer, writer->offset);
}

// Writes the entry's header, data and final header; the writer's error tells
// the outcome. The source is finished on success.
void WriteEntry(ZipWriter* writer, ZipEntry* entry, const SourceDetails& details) {
  entry->headerOffset = writer->offset;
  writer->error = ErrNone;
  WriteHeaderAndData(writer, entry, details);
  if (writer->error != ErrNone) return;
  if (!entry->zip64Sizes && (writer->bytesRead > writer->classicSizeMax ||
                             writer->compressedSize > writer->classicSizeMax)) {
    if (!StartOverWithZip64(writer, entry)) {
      if (writer->error == ErrNone) writer->error = ErrTooLarge;
      return;
    }
    WriteHeaderAndData(writer, entry, details);
    if (writer->error != ErrNone) return;
  }

  FinishSource(writer);
  writer->offset += writer->compressedSize;
  entry->crc = writer->crc;
  entry->compressedSize = writer->compressedSize;
  entry->size = writer->sourceSize;
  entry->flags &= static_cast<std::uint16_t>(~kFlagDataDescriptor);
  if (!SeekOutput(writer, entry->headerOffset)) return;
  WriteLocalHeader(writer, entry, details);
  if (writer->error != ErrNone) return;
  SeekOutput(writer, writer->offset);
}

}  // namespace

std::uint32_t ReadSource(ZipWriter* writer, std::uint8_t* destination, std::uint32_t count) {
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

std::int32_t AddEntry(ZipWriter* writer, const char* sourcePath, const char* name) {
  if (writer == nullptr) return ErrArgument;
  if ((writer->flags & kFinished) != 0) return ErrFinished;
  writer->bytesRead = 0;
  writer->compressedSize = 0;
  writer->crc = 0;
  writer->flags &= ~(kSourceInfoKnown | kCloseSource);
  if (sourcePath == nullptr) return ErrArgument;
  if (name == nullptr) name = sourcePath;
  const std::size_t nameLength = std::strlen(name);
  if (nameLength == 0 || nameLength > 0xFFFF) return ErrArgument;

  writer->systemError = 0;
  writer->source = OsOpenSource(sourcePath);
  if (writer->source == kNoFile) {
    writer->systemError = OsLastError();
    return ErrOpen;
  }
  writer->flags |= kCloseSource;
  SourceDetails details;
  const std::int32_t code = ReadSourceInfo(writer, &details);
  if (code != ErrNone) {
    if (code == ErrOpen) writer->systemError = OsLastError();
    FinishSource(writer);
    return code;
  }
  if ((writer->flags & kSourceInfoKnown) == 0) CurrentDosTime(&details);
  ZipEntry* entry = ReserveEntry(writer, nameLength);
  if (entry == nullptr) {
    FinishSource(writer);
    return ErrNoMemory;
  }

  std::memcpy(entry->name, name, nameLength + 1);
  entry->nameLength = static_cast<std::uint16_t>(nameLength);
  for (std::size_t i = 0; i < nameLength; ++i) {
    if (entry->name[i] == '\\') entry->name[i] = '/';
  }
  entry->externalAttributes = details.externalAttributes;
  entry->dosDateTime = details.dosDateTime;
  entry->modifyTime = details.modifyTime;
  entry->flags = kFlagDataDescriptor;
  if (NeedsUtf8Flag(entry->name)) entry->flags |= kFlagUtf8;
  entry->method = IsStoredExtension(entry->name) ? 0 : 8;
  if (entry->method == 0 && writer->sourceSize != kSizeUnknown) {
    entry->compressedSize = writer->sourceSize;
  }
  entry->size = writer->sourceSize;
  // A source known to be large gets the ZIP64 field in its first header.
  entry->zip64Sizes =
      writer->sourceSize != kSizeUnknown && writer->sourceSize > writer->classicSizeMax;

  WriteEntry(writer, entry, details);
  if (writer->error != ErrNone) return DropEntry(writer, entry);
  KeepEntry(writer, entry);
  return ErrNone;
}

}  // namespace zf
