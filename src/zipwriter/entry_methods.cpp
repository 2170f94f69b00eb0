// The method table and the adapter between the writer and the compressor:
// the compressor sees the entry's source and the entry's output as a narrow
// source and sink (deflate.h), and never the writer's records.
#include "zipwriter/entry_methods.h"

#include "deflate/deflate.h"
#include "zipwriter/entry_filter.h"
#include "zipwriter/format_numbers.h"

namespace zf {
namespace {

std::uint16_t NoFlags(const CallChoices&) { return 0; }

std::uint64_t StoredBound(std::uint64_t size) { return size; }

bool BeginStored(ZipWriter*, ZipEntry*) { return true; }

// The source's bytes as they are; their count is the data's length.
void WriteStored(ZipWriter* writer, ZipEntry*) {
  for (;;) {
    const std::uint32_t count = ReadSource(writer, writer->buffer, kBufferBytes);
    if (count == 0 || writer->failure.code != ErrNone) return;
    PutEntryData(writer, writer->buffer, count);
    writer->current.compressedSize += count;
  }
}

void FinishStored(ZipWriter*, ZipEntry*) {}

// Bits 1 and 2 of the general-purpose flags tell the level: fast or best.
std::uint16_t LevelFlags(std::uint8_t level) {
  return level <= 2 ? kFlagLevelFast : level >= 8 ? kFlagLevelBest : 0;
}

std::uint16_t DeflateFlagBits(const CallChoices& choices) {
  return choices.level == kLevelStoreAll ? 0 : LevelFlags(DeflateLevel(choices.level));
}

// Deflated data comes out at most an eighth larger than its source (nine
// bits for a literal in the fixed codes, less for any match), and a block
// of at least a few thousand bytes costs a few bytes more.
std::uint64_t DeflateBound(std::uint64_t size) { return size + size / 7 + 64; }

bool BeginDeflate(ZipWriter* writer, ZipEntry* entry) {
  if (writer->current.deflater == nullptr) {
    writer->current.deflater = AllocateDeflateState();
    if (writer->current.deflater == nullptr) {
      writer->failure.code = ErrNoMemory;
      return false;
    }
  }
  // Set when they are not already: an entry bound for a stream has them
  // from its opening, and its header is read by the placing thread while
  // this one compresses.
  const std::uint16_t levelFlags = DeflateFlagBits(*writer->choices);
  if ((entry->flags & levelFlags) != levelFlags) {
    entry->flags = static_cast<std::uint16_t>(entry->flags | levelFlags);
  }
  return true;
}

bool ReadFromWriter(void* context, std::uint8_t* into, std::uint32_t count, std::uint32_t* got) {
  auto* writer = static_cast<ZipWriter*>(context);
  *got = ReadSource(writer, into, count);
  return writer->failure.code == ErrNone;
}

bool WriteToWriter(void* context, const std::uint8_t* bytes, std::uint32_t count) {
  auto* writer = static_cast<ZipWriter*>(context);
  PutEntryData(writer, bytes, count);
  return writer->failure.code == ErrNone;
}

void WriteDeflated(ZipWriter* writer, ZipEntry* entry) {
  static_assert(sizeof writer->buffer >= kDeflateOutBytes);
  const CurrentEntry& current = writer->current;
  const DeflateJob job{.source = {ReadFromWriter, writer},
                       .sink = {WriteToWriter, writer},
                       .outBuffer = writer->buffer,
                       .level = DeflateLevel(writer->choices->level),
                       .crew = current.parseCrew,
                       .file = current.source,
                       .size = current.sourceSize};
  std::int32_t systemError = 0;
  std::uint64_t deflated = 0;
  const std::int32_t code =
      DeflateData(current.deflater, job, &entry->internalAttributes, &systemError, &deflated);
  // A failure of the writer's own (its output, the entry's read) stays.
  if (code != ErrNone && writer->failure.code == ErrNone) {
    writer->failure.code = code;
    writer->failure.systemError = systemError;
  }
  writer->current.compressedSize = deflated;
}

void FinishDeflate(ZipWriter*, ZipEntry*) {}

constexpr EntryMethod kMethods[] = {
    {kMethodStored, kVersionClassic, NoFlags, StoredBound, BeginStored, WriteStored, FinishStored},
    {kMethodDeflated, kVersionClassic, DeflateFlagBits, DeflateBound, BeginDeflate, WriteDeflated,
     FinishDeflate},
};

}  // namespace

const EntryMethod& MethodFor(std::uint16_t number) {
  for (const EntryMethod& method : kMethods) {
    if (method.number == number) return method;
  }
  return kMethods[0];
}

void DeflateEntry(ZipEntry* entry, ZipWriter* writer) {
  const EntryMethod& method = MethodFor(kMethodDeflated);
  if (!method.begin(writer, entry)) return;
  method.write(writer, entry);
  method.finish(writer, entry);
}

}  // namespace zf
