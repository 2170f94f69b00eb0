// Adding one file: its local header, its data (stored here or deflated by the
// compressor), the header rewritten with the final values, and the entry
// appended to the writer's list.
#include <cstring>

#include "deflate/deflate.h"
#include "zipwriter/crc32.h"
#include "zipwriter/headers.h"
#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {
namespace {

constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8 = 0x0800;

void BuildExtraFields(const SourceDetails& details, std::uint8_t (&local)[kLocalExtraBytes],
                      ZipEntry* entry) {
  const std::int32_t times[3] = {details.modifyTime, details.accessTime, details.createTime};
  local[0] = 0x55;  // "UT": extended timestamp
  local[1] = 0x54;
  local[2] = 13;
  local[3] = 0;
  local[4] = 7;  // modification, access and creation time follow
  for (int t = 0; t < 3; ++t) {
    const auto value = static_cast<std::uint32_t>(times[t]);
    for (int b = 0; b < 4; ++b) local[5 + 4 * t + b] = static_cast<std::uint8_t>(value >> (8 * b));
  }
  std::memcpy(entry->centralExtraBytes, local, kCentralExtraBytes);
  entry->centralExtraBytes[2] = 5;  // the central field keeps the flags but only one time
  entry->localExtra = local;
  entry->centralExtra = entry->centralExtraBytes;
  entry->localExtraLength = kLocalExtraBytes;
  entry->centralExtraLength = kCentralExtraBytes;
}

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
std::int32_t DropEntry(ZipWriter* writer, ZipEntry* entry) {
  FinishSource(writer);
  writer->offset = entry->headerOffset;
  OsRelease(entry);
  SeekOutput(writer, writer->offset);
  return writer->error;
}

std::uint32_t CentralRecordBytes(const ZipEntry* entry) {
  return kCentralHeaderBytes + entry->nameLength + entry->centralExtraLength;
}

void AppendEntry(ZipWriter* writer, ZipEntry* entry) {
  if (writer->lastEntry == nullptr) {
    writer->entries = entry;
  } else {
    writer->lastEntry->next = entry;
  }
  writer->lastEntry = entry;
  writer->entryCount += 1;
  writer->centralBytes += CentralRecordBytes(entry);
  writer->sourceBytes += entry->size;
}

// The entry's data, and the whole central directory with it, must end
// within the archive's limit.
bool FitsInArchive(const ZipWriter* writer, const ZipEntry* entry) {
  const std::uint64_t end = std::uint64_t{writer->offset} + writer->centralBytes +
                            CentralRecordBytes(entry) + kEndRecordBytes;
  return end <= writer->archiveLimit;
}

// Writes the entry's header, data and final header; the writer's error tells
// the outcome. The source is finished on success.
void WriteEntry(ZipWriter* writer, ZipEntry* entry) {
  entry->headerOffset = writer->offset;
  writer->error = ErrNone;  // AddEntry returned early on an output failure
  WriteLocalHeader(writer, entry);
  if (writer->error != ErrNone) return;
  writer->offset += kLocalHeaderBytes + entry->nameLength + entry->localExtraLength;

  if (entry->method == 8) {
    DeflateEntry(entry, writer);
  } else {
    CopyStored(writer);
  }
  if (writer->error != ErrNone) return;

  FinishSource(writer);
  writer->offset += writer->compressedSize;
  entry->crc = writer->crc;
  entry->compressedSize = writer->compressedSize;
  entry->size = writer->sourceSize;
  entry->flags &= static_cast<std::uint16_t>(~kFlagDataDescriptor);
  entry->localFlags = entry->flags;
  if (!FitsInArchive(writer, entry)) {
    writer->error = ErrTooLarge;
    return;
  }
  if (!SeekOutput(writer, entry->headerOffset)) return;
  WriteLocalHeader(writer, entry);
  if (writer->error != ErrNone) return;
  SeekOutput(writer, writer->offset);
}

}  // namespace

std::uint32_t ReadSource(ZipWriter* writer, std::uint8_t* destination, std::uint32_t count) {
  // Once the entry has failed nothing more is read: a read failure must not
  // replace a failed write, which concerns the whole archive.
  if (writer->error != ErrNone) return 0;
  std::uint32_t got = 0;
  if (!OsRead(writer->source, destination, count, &got)) {
    writer->error = ErrRead;
    return 0;
  }
  // A source that grows past 4 GiB while it is read no longer fits the sizes.
  if (got > 0xFFFFFFFFu - writer->bytesRead) {
    writer->error = ErrTooLarge;
    return 0;
  }
  writer->bytesRead += got;
  writer->crc = Crc32Update(writer->crc, destination, got);
  return got;
}

std::int32_t AddEntry(ZipWriter* writer, const char* sourcePath, const char* name) {
  if (writer == nullptr) return ErrArgument;
  if ((writer->flags & kFinished) != 0) return ErrFinished;
  if (IsOutputFailure(writer->error)) return writer->error;
  writer->bytesRead = 0;
  writer->compressedSize = 0;
  writer->crc = 0;
  writer->flags &= ~(kSourceInfoKnown | kCloseSource);
  if (sourcePath == nullptr) return ErrArgument;
  if (name == nullptr) name = sourcePath;
  const std::size_t nameLength = std::strlen(name);
  if (nameLength == 0 || nameLength > 0xFFFF) return ErrArgument;
  if (writer->entryCount >= writer->entryLimit) return ErrTooLarge;

  writer->source = OsOpenSource(sourcePath);
  if (writer->source == kNoFile) return ErrOpen;
  writer->flags |= kCloseSource;
  SourceDetails details;
  const std::int32_t code = ReadSourceInfo(writer, &details);
  if (code != ErrNone) {
    FinishSource(writer);
    return code;
  }
  if ((writer->flags & kSourceInfoKnown) == 0) CurrentDosTime(&details);
  auto* entry = static_cast<ZipEntry*>(OsAllocate(offsetof(ZipEntry, name) + nameLength + 1));
  if (entry == nullptr) {
    FinishSource(writer);
    return ErrNoMemory;
  }

  std::memset(entry, 0, offsetof(ZipEntry, name));
  std::memcpy(entry->name, name, nameLength + 1);
  entry->nameLength = static_cast<std::uint32_t>(nameLength);
  for (std::size_t i = 0; i < nameLength; ++i) {
    if (entry->name[i] == '\\') entry->name[i] = '/';
  }
  entry->externalAttributes = details.externalAttributes;
  entry->dosDateTime = details.dosDateTime;
  std::uint8_t localExtra[kLocalExtraBytes];
  BuildExtraFields(details, localExtra, entry);
  entry->flags = kFlagDataDescriptor;
  if (NeedsUtf8Flag(entry->name)) entry->flags |= kFlagUtf8;
  entry->method = IsStoredExtension(entry->name) ? 0 : 8;
  entry->localFlags = entry->flags;
  if (entry->method == 0 && writer->sourceSize != kSizeUnknown) {
    entry->compressedSize = writer->sourceSize;
  }
  entry->size = writer->sourceSize;

  WriteEntry(writer, entry);
  if (writer->error != ErrNone) return DropEntry(writer, entry);
  entry->localExtra = nullptr;  // it lives on this call's stack only
  AppendEntry(writer, entry);
  return ErrNone;
}

}  // namespace zf
