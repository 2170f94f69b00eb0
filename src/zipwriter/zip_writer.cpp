// The writer's life: creating the archive, the output primitives, and the
// central directory and end record written at close.
#include "zipwriter/zip_writer.h"

#include <cstring>

#include "zipwriter/entry_list.h"
#include "zipwriter/headers.h"

namespace zf {
namespace {

// A failure of the archive output itself, after which the file's content is
// unknown and no central directory may follow.
bool IsOutputFailure(std::int32_t code) { return code == ErrWrite || code == ErrSeek; }

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
  writer->classicSizeMax = kClassicSizeMax;
  writer->classicCountMax = kClassicCountMax;
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
  std::uint32_t written = 0;
  if (!OsWrite(writer->output, data, count, &written) || written != count) {
    writer->systemError = OsLastError();
    writer->error = ErrWrite;
    return;
  }
  writer->position += count;
}

bool SeekOutput(ZipWriter* writer, std::uint64_t position) {
  if (!OsSeek(writer->output, position)) {
    writer->systemError = OsLastError();
    writer->error = ErrSeek;
    return false;
  }
  writer->position = position;
  return true;
}

void WriteCentralDirectory(ZipWriter* writer) {
  if (writer->error != ErrNone || (writer->flags & kFinished) != 0) return;
  const std::uint64_t start = writer->offset;
  EntryCursor cursor = FirstEntry(writer);
  while (const ZipEntry* entry = NextEntry(&cursor)) {
    WriteCentralHeader(writer, entry);
    writer->offset += CentralRecordBytes(writer, entry);
  }
  WriteEndRecords(writer, writer->entryCount, start);
  ReleaseEntries(writer);
  writer->flags |= kFinished;
}

std::uint64_t FinishedLength(const ZipWriter* writer) {
  return writer->offset + writer->centralBytes +
         EndRecordsBytes(writer, writer->entryCount, writer->offset, writer->centralBytes);
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
