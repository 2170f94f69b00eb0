#include "zipwriter/headers.h"

namespace zf {
namespace {

void PutWord(ZipWriter* writer, std::uint32_t value) {
  PutShort(writer, value);
  PutShort(writer, value >> 16);
}

// Method, time, CRC and sizes stand in the same order in both headers.
void PutMethodTimeAndSizes(ZipWriter* writer, const ZipEntry* entry) {
  PutShort(writer, entry->method);
  PutWord(writer, entry->dosDateTime);
  PutWord(writer, entry->crc);
  PutWord(writer, entry->compressedSize);
  PutWord(writer, entry->size);
  PutShort(writer, entry->nameLength);
}

void PutNameAndExtra(ZipWriter* writer, const ZipEntry* entry, const std::uint8_t* extra,
                     std::uint32_t extraLength) {
  if (entry->nameLength != 0) PutBytes(writer, entry->name, entry->nameLength);
  if (extraLength != 0) PutBytes(writer, extra, extraLength);
}

}  // namespace

void WriteLocalHeader(ZipWriter* writer, const ZipEntry* entry) {
  PutWord(writer, 0x04034B50);
  PutShort(writer, 20);  // version needed: 2.0
  PutShort(writer, entry->localFlags);
  PutMethodTimeAndSizes(writer, entry);
  PutShort(writer, entry->localExtraLength);
  PutNameAndExtra(writer, entry, entry->localExtra, entry->localExtraLength);
}

void WriteCentralHeader(ZipWriter* writer, const ZipEntry* entry) {
  PutWord(writer, 0x02014B50);
  PutShort(writer, 0x0B17);  // made by: version 2.3, host 11
  PutShort(writer, 20);
  PutShort(writer, entry->flags);
  PutMethodTimeAndSizes(writer, entry);
  PutShort(writer, entry->centralExtraLength);
  PutShort(writer, 0);  // comment length
  PutShort(writer, entry->diskStart);
  PutShort(writer, entry->internalAttributes);
  PutWord(writer, entry->externalAttributes);
  PutWord(writer, entry->headerOffset);
  PutNameAndExtra(writer, entry, entry->centralExtra, entry->centralExtraLength);
}

void WriteEndRecord(ZipWriter* writer, std::uint32_t count, std::uint32_t start) {
  PutWord(writer, 0x06054B50);
  PutShort(writer, 0);  // this disk
  PutShort(writer, 0);  // disk of the directory
  PutShort(writer, count);
  PutShort(writer, count);
  PutWord(writer, writer->offset - start);
  PutWord(writer, start);
  PutShort(writer, 0);  // comment length
}

}  // namespace zf
