// The writer's life: creating the archive, the output primitives, and the
// central directory and end record written at close.
#include "zipwriter/zip_writer.h"

#include <cstring>

#include "zipwriter/entry_list.h"
#include "zipwriter/headers.h"

namespace zf {
namespace {

// Hands bytes on to the sink; a failure is the archive's.
bool Deliver(ZipWriter* writer, const void* data, std::uint32_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (;;) {
    std::uint32_t written = 0;
    if (SinkWrite(writer->sink, bytes, count, &written, &writer->failure.systemError)) return true;
    // What was written stays; the rest follows once there is room.
    if (writer->sink.write != nullptr || !OsIsDiskFull(writer->failure.systemError) ||
        writer->makeRoom == nullptr || !writer->makeRoom(writer->makeRoomContext)) {
      break;
    }
    bytes += written;
    count -= written;
  }
  writer->failure.code = ErrWrite;
  return false;
}

// Repositions the sink itself; the buffer must be empty.
bool MoveOutput(ZipWriter* writer, std::uint64_t position) {
  if (!SinkSeek(writer->sink, position, &writer->failure.systemError)) {
    writer->failure.code = ErrSeek;
    return false;
  }
  writer->position = position;
  return true;
}

// A writer with its fields cleared and no sink yet; null when memory is short.
ZipWriter* NewWriter() {
  auto* writer = static_cast<ZipWriter*>(OsAllocate(sizeof(ZipWriter)));
  if (writer == nullptr) return nullptr;
  std::memset(writer, 0, offsetof(ZipWriter, buffer));
  writer->current.source = kNoFile;
  writer->ownChoices.classicSizeMax = kClassicSizeMax;
  writer->ownChoices.classicCountMax = kClassicCountMax;
  writer->choices = &writer->ownChoices;
  return writer;
}

}  // namespace

std::int32_t OpenArchiveOn(const OutputSink& sink, ZipWriter** writerOut) {
  *writerOut = NewWriter();
  if (*writerOut == nullptr) {
    SinkClose(sink);
    return ErrNoMemory;
  }
  (*writerOut)->sink = sink;
  if (sink.kind == SinkKind::kStream) (*writerOut)->flags |= kDataDescriptors;
  return ErrNone;
}

std::int32_t OpenArchive(const char* zipPath, ZipWriter** writerOut) {
  *writerOut = nullptr;
  ZipWriter* writer = NewWriter();
  if (writer == nullptr) return ErrNoMemory;
  const OsFile file = OsCreateArchive(zipPath);
  if (file == kNoFile) {
    OsRelease(writer);
    return ErrOpen;
  }
  writer->sink = FileSink(file);
  *writerOut = writer;
  return ErrNone;
}

void PutBytes(ZipWriter* writer, const void* data, std::uint32_t count) {
  if (writer->failure.code != ErrNone) return;
  if (count > kOutputBufferBytes - writer->outFill) {
    if (!FlushOutput(writer)) return;
    if (count >= kOutputBufferBytes) {
      if (Deliver(writer, data, count)) writer->position += count;
      return;
    }
  }
  std::memcpy(writer->outBuffer + writer->outFill, data, count);
  writer->outFill += count;
  writer->position += count;
}

bool FlushOutput(ZipWriter* writer) {
  const std::uint32_t count = writer->outFill;
  writer->outFill = 0;
  if (IsOutputFailure(writer->failure.code)) return false;
  return count == 0 || Deliver(writer, writer->outBuffer, count);
}

bool SeekOutput(ZipWriter* writer, std::uint64_t position) {
  return FlushOutput(writer) && MoveOutput(writer, position);
}

bool RewindOutput(ZipWriter* writer, std::uint64_t position) {
  const std::uint64_t buffered = writer->position - writer->outFill;
  if (position >= buffered && position <= writer->position) {
    writer->outFill = static_cast<std::uint32_t>(position - buffered);
    writer->position = position;
    return true;
  }
  writer->outFill = 0;
  return MoveOutput(writer, position);
}

void WriteCentralDirectory(ZipWriter* writer) {
  if (writer->failure.code != ErrNone || (writer->flags & kFinished) != 0) return;
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

void AbandonArchive(ZipWriter* writer) {
  writer->flags |= kFinished;
  CloseArchive(writer);
}

std::int32_t CloseArchive(ZipWriter* writer) {
  if (writer == nullptr) return ErrArgument;
  // A failure that concerned only the last source must not cost the whole
  // archive its directory; that entry has been dropped already.
  if (!IsOutputFailure(writer->failure.code)) writer->failure.code = ErrNone;
  WriteCentralDirectory(writer);
  FlushOutput(writer);
  // A dropped entry may have left bytes behind the end record.
  if (writer->failure.code == ErrNone && !SinkSetEnd(writer->sink)) writer->failure.code = ErrWrite;
  std::int32_t result = writer->failure.code;
  if (!SinkClose(writer->sink) && result == ErrNone) result = ErrWrite;
  OsRelease(writer->current.deflater);
  ReleaseEntries(writer);
  OsRelease(writer);
  return result;
}

}  // namespace zf
