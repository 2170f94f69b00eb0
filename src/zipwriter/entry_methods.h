// The compression methods an entry's data can take, in one table: what
// each writes in the headers and how it produces the data. The road of an
// entry's bytes is source -> method -> filter stage (entry_filter.h) ->
// archive: a method reads the writer's current source with ReadSource and
// hands every byte it makes to PutEntryData, never to PutBytes.
//
// To add a method: its number in format_numbers.h, a row in the table in
// entry_methods.cpp, and the choice of it where OpenEntry picks a method.
#pragma once

#include <cstdint>

#include "zipwriter/zip_writer.h"

namespace zf {

struct EntryMethod {
  std::uint16_t number;         // the headers' method field
  std::uint16_t versionNeeded;  // to extract it, before ZIP64 or a filter asks for more
  // General-purpose bits the method sets, from the call's choices; they
  // must be known before the data, since a stream's header goes out first.
  std::uint16_t (*flagBits)(const CallChoices& choices);
  // The most bytes the method makes of size bytes of input.
  std::uint64_t (*sizeBound)(std::uint64_t size);
  // Readies the method's state on the writer for the current entry; false,
  // with the writer's error set, when it cannot.
  bool (*begin)(ZipWriter* writer, ZipEntry* entry);
  // Reads the whole source and puts the data through the filter stage; the
  // writer's error tells the outcome.
  void (*write)(ZipWriter* writer, ZipEntry* entry);
  // Takes the data's length into current.compressedSize.
  void (*finish)(ZipWriter* writer, ZipEntry* entry);
};

// The table's row for a method number; stored for a number it lacks.
const EntryMethod& MethodFor(std::uint16_t number);

// The deflate method's data on its own (begin, write and finish), for
// callers that compress without a header around the data: the level's
// flag bits go into entry->flags, the text-or-binary guess into
// entry->internalAttributes. Allocates the writer's compressor state on
// first use; CloseArchive frees it.
void DeflateEntry(ZipEntry* entry, ZipWriter* writer);

}  // namespace zf
