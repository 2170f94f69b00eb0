// The writer's life: creating the archive, the output primitives, and the
// central directory and end record written at close.
#include "zipwriter/zip_writer.h"

#include <cstring>

#include "zipwriter/headers.h"

namespace zf {
namespace {

void ReleaseEntries(ZipWriter* writer) {
  while (writer->entries != nullptr) {
    ZipEntry* next = writer->entries->next;
    OsRelease(writer->entries);
    writer->entries = next;
  }
  writer->lastEntry = nullptr;
}

}  // namespace

std::int32_t OpenArchive(const char* zipPath, ZipWriter** writerOut) {
  *writerOut = nullptr;
  auto* writer = static_cast<ZipWriter*>(OsAllocate(sizeof(ZipWriter)));
  if (writer == nullptr) return ErrNoMemory;
  std::memset(writer, 0, offsetof(ZipWriter, buffer));
  writer->source = kNoFile;
  writer->output = OsCreateArchive(zipPath);
  if (writer->output == kNoFile) {
    OsRelease(writer);
    return ErrOpen;
  }
  writer->flags = kCloseOutput | kSeekable;
  writer->archiveLimit = kArchiveLimit;
  writer->entryLimit = kEntryLimit;
  *writerOut = writer;
  return ErrNone;
}

void PutShort(ZipWriter* writer, std::uint32_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                 static_cast<std::uint8_t>(value >> 8)};
  PutBytes(writer, bytes, 2);
}

void PutBytes(ZipWriter* writer, const void* data, std::uint32_t count) {
  if (writer->error != ErrNone) return;
  // Refuse to pass the limit rather than let a 32-bit offset wrap.
  if (writer->position + count > writer->archiveLimit) {
    writer->error = ErrTooLarge;
    return;
  }
  std::uint32_t written = 0;
  if (!OsWrite(writer->output, data, count, &written) || written != count) {
    writer->error = ErrWrite;
    return;
  }
  writer->position += count;
}

bool SeekOutput(ZipWriter* writer, std::uint32_t position) {
  if (!OsSeek(writer->output, position)) {
    writer->error = ErrSeek;
    return false;
  }
  writer->position = position;
  return true;
}

void WriteCentralDirectory(ZipWriter* writer) {
  if (writer->error != ErrNone || (writer->flags & kFinished) != 0) return;
  const std::uint32_t start = writer->offset;
  std::uint32_t count = 0;
  while (writer->entries != nullptr) {
    ZipEntry* entry = writer->entries;
    WriteCentralHeader(writer, entry);
    writer->offset += kCentralHeaderBytes + entry->nameLength + entry->centralExtraLength;
    writer->entries = entry->next;
    OsRelease(entry);
    ++count;
  }
  writer->lastEntry = nullptr;
  WriteEndRecord(writer, count, start);
  writer->offset += kEndRecordBytes;
  writer->flags |= kFinished;
}

std::int32_t CloseArchive(ZipWriter* writer) {
  if (writer == nullptr) return ErrArgument;
  // A failure that concerned only the last source must not cost the whole
  // archive its directory; that entry has been dropped already.
  if (!IsOutputFailure(writer->error)) writer->error = ErrNone;
  WriteCentralDirectory(writer);
  // A dropped entry may have left bytes behind the end record.
  if (writer->error == ErrNone && !OsSetEnd(writer->output)) writer->error = ErrWrite;
  const std::int32_t result = writer->error;
  if ((writer->flags & kCloseOutput) != 0) OsClose(writer->output);
  OsRelease(writer->deflater);
  ReleaseEntries(writer);
  OsRelease(writer);
  return result;
}

}  // namespace zf
