// The filter stage: where an entry's data goes between its method and the
// archive. Every byte a method makes goes through PutEntryData; without a
// filter (CallChoices::filter null, every call today) that is PutBytes and
// nothing else, so the archive's bytes are the method's.
//
// A filter (encryption is the first) is a row of functions and numbers in
// an EntryFilter, named by the call's choices with a context of its own
// (its key material, say). Its contract:
//
// - Headers. The filter's changes are fixed when the entry opens, before
//   any header goes out (a stream's header precedes the data): the entry is
//   marked filtered, takes flagBits (bit 0, "encrypted") and reserves
//   fieldBytes for the filter's extra field, which storeField writes into
//   both the local and the central header, after the other extra fields,
//   from the entry record alone (the central directory is written long after
//   the filter's state is gone). When replacesMethod is set, the headers'
//   method field holds methodNumber and the entry's own method stays in the
//   entry record for storeField to tell (99 and the 0x9901 field, say). With
//   hidesCrc the headers and the data descriptor carry 0 for the CRC.
//   versionNeeded raises the headers' "version needed" when it is higher.
//   With keepsDescriptor the filter's leading bytes depend on the entry's
//   flags (ZipCrypto's check byte: the CRC's high byte, or the time's with
//   bit 3): an entry begun with bit 3 keeps it and its data descriptor in a
//   file too, since its CRC was not known when its data began.
// - Size. overheadBytes is the fixed count of bytes the filter adds to any
//   entry (before and after the data together); the data's length in the
//   headers includes it, and the bound that decides a stream's ZIP64 form
//   adds it to the method's bound.
// - State. begin makes the filter's state for one entry on the thread that
//   produces the entry's data (the writer's, or a worker's), so costly setup
//   (key derivation) runs there, in parallel; it may put leading bytes with
//   PutBytes (a salt, a check header). data takes the method's bytes in
//   order, as often as the method hands some on, and puts what they become.
//   end puts trailing bytes (an authentication code) and releases the state;
//   release releases it alone, for an entry given up midway. A filter fails
//   by setting the writer's error (ErrNoMemory, say); begin returns null then.
//   An entry read again from its start (cut while read, outgrown, or found
//   not to shrink) gets a new state.
// - Order. The stage runs where the entry's data is made, on one thread, in
//   order: for a large file compressed in segments by several workers, the
//   segments' symbols are joined and sent through the block output on the
//   thread that owns the entry (DeflateInSegments), so the filter sees one
//   stream in order there. The placing writer only copies the filtered bytes
//   into the archive; it never filters.
#pragma once

#include <cstdint>

#include "zipwriter/zip_writer.h"

namespace zf {

struct EntryFilter {
  std::uint16_t flagBits;
  bool replacesMethod;
  std::uint16_t methodNumber;
  bool hidesCrc;
  bool keepsDescriptor;
  std::uint16_t versionNeeded;
  std::uint8_t fieldBytes;  // the whole extra field: id, length and data
  std::uint32_t overheadBytes;
  std::uint8_t* (*storeField)(const void* context, const ZipEntry* entry, std::uint8_t* at);
  void* (*begin)(const void* context, ZipWriter* writer, const ZipEntry* entry);
  void (*data)(void* state, ZipWriter* writer, const std::uint8_t* bytes, std::uint32_t count);
  void (*end)(void* state, ZipWriter* writer);
  void (*release)(void* state);
};

// At the entry's opening: the filter's marks on the entry, if the call has
// a filter.
void MarkFiltered(const CallChoices& choices, ZipEntry* entry);
// Around the method's write: the filter's state and leading bytes (false
// when the entry fails), then its trailing bytes and overhead once the
// method is done, or its state released alone when the entry failed.
bool BeginEntryData(ZipWriter* writer, const ZipEntry* entry);
void PutEntryData(ZipWriter* writer, const std::uint8_t* bytes, std::uint32_t count);
void EndEntryData(ZipWriter* writer);

// What the headers hold for a filtered entry.
std::uint16_t WrittenMethod(const CallChoices& choices, const ZipEntry* entry);
std::uint32_t WrittenCrc(const CallChoices& choices, const ZipEntry* entry, std::uint32_t crc);
std::uint16_t FilterVersion(const CallChoices& choices, const ZipEntry* entry);
std::uint8_t* StoreFilterField(const CallChoices& choices, const ZipEntry* entry, std::uint8_t* at);
// Bytes the filter adds to the entry's data.
std::uint32_t FilterOverhead(const CallChoices& choices, const ZipEntry* entry);
// The entry keeps its data descriptor in a file too.
bool KeepsDescriptor(const CallChoices& choices, const ZipEntry* entry);

}  // namespace zf
