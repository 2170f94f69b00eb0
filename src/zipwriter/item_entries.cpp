// Entries that hold no file's data: a folder, stored so that unpacking
// recreates it (empty ones included), and a symbolic link, stored as its
// target text with the mode of a link, so that readers restore a link
// rather than a copy of what it points to. Both are stored and their data
// (none, or the target) is known before the header is written, so the
// header is written once, with its final values, on a stream too: no data
// descriptor follows, which forward-only readers refuse after stored data.
#include <cstring>

#include "zipwriter/crc32.h"
#include "zipwriter/entry_filter.h"
#include "zipwriter/entry_list.h"
#include "zipwriter/format_numbers.h"
#include "zipwriter/headers.h"
#include "zipwriter/source_details.h"
#include "zipwriter/zip_writer.h"

namespace zf {
namespace {

std::int32_t AddItem(ZipWriter* writer, const char* path, const char* name, bool link) {
  if (writer == nullptr || path == nullptr || name == nullptr) return ErrArgument;
  if ((writer->flags & kFinished) != 0) return ErrFinished;
  if (IsOutputFailure(writer->failure.code)) return writer->failure.code;
  writer->failure.code = ErrNone;
  writer->failure.systemError = 0;
  const char* suffix = link ? "" : "/";
  const std::size_t nameLength = EntryNameLength(writer, name, suffix);
  if ((*name == 0 && writer->choices->namePrefixLength == 0) || nameLength > 0xFFFF)
    return ErrArgument;
  OsFileFacts facts;
  if (!OsGetPathFacts(path, !link, &facts)) {
    writer->failure.systemError = OsLastError();
    return ErrOpen;
  }
  char* target = nullptr;
  std::size_t targetLength = 0;
  if (link) {
    target = static_cast<char*>(OsAllocate(kMaxPathBytes));
    if (target == nullptr) return ErrNoMemory;
    if (!OsReadLink(path, target, kMaxPathBytes, &targetLength)) {
      writer->failure.systemError = OsLastError();
      OsRelease(target);
      return ErrRead;
    }
  }
  ZipEntry* entry = ReserveEntry(writer, nameLength);
  if (entry == nullptr) {
    OsRelease(target);
    return ErrNoMemory;
  }
  SourceDetails details;
  SetDetailsTimes(writer, &details, facts);
  // A folder's owner may search it as well as read it: without that
  // permission the unpacked folder could not be entered.
  const bool ownMode = writer->choices->unixModes && facts.unixMode != 0;
  const std::uint32_t attributes =
      ownMode ? UnixModeAttributes(facts.attributes, facts.unixMode)
      : link  ? kUnixLinkMode << 16 | (facts.attributes & kAttrArchive)
              : ExternalAttributes(facts.attributes | kAttrDirectory, true);
  SetEntryName(writer, entry, name, suffix);
  entry->externalAttributes = attributes;
  entry->unixHost = ownMode;
  entry->dosDateTime = details.dosDateTime;
  entry->modifyTime = details.modifyTime;
  const bool streamed = (writer->flags & kDataDescriptors) != 0;
  entry->flags = NeedsUtf8Flag(entry->name) ? kFlagUtf8 : 0;
  entry->method = kMethodStored;
  entry->crc = Crc32Update(0, reinterpret_cast<const std::uint8_t*>(target),
                           static_cast<std::uint32_t>(targetLength));
  entry->size = targetLength;
  // A link's target is data, and goes through the call's filter; a
  // folder has none.
  if (link) MarkFiltered(*writer->choices, entry);
  entry->compressedSize = targetLength + FilterOverhead(*writer->choices, entry);
  entry->headerOffset = writer->offset;
  WriteLocalHeader(writer, entry, details);
  if (target != nullptr && BeginEntryData(writer, entry)) {
    PutEntryData(writer, reinterpret_cast<const std::uint8_t*>(target),
                 static_cast<std::uint32_t>(targetLength));
  }
  if (target != nullptr) EndEntryData(writer);
  OsRelease(target);
  // A failed write, or the filter's failure (memory, the system's
  // cryptography): a stream's bytes are taken back only while they are all
  // still in the buffer, and a stream that has taken some is broken.
  if (writer->failure.code != ErrNone) {
    const std::int32_t cause = writer->failure.code;
    if ((!streamed || !IsOutputFailure(cause)) && !RewindOutput(writer, entry->headerOffset) &&
        streamed) {
      writer->failure.code = ErrStreamBroken;
      writer->failure.brokenBy = cause;
    }
    return writer->failure.code;
  }
  writer->offset += LocalHeaderBytes(entry) + entry->compressedSize;
  writer->current.bytesRead = targetLength;
  KeepEntry(writer, entry);
  return ErrNone;
}

}  // namespace

std::int32_t AddFolderEntry(ZipWriter* writer, const char* path, const char* name) {
  return AddItem(writer, path, name, false);
}

std::int32_t AddLinkEntry(ZipWriter* writer, const char* path, const char* name) {
  return AddItem(writer, path, name, true);
}

}  // namespace zf
