// The filter stage between a method's output and the archive; its contract
// is at the top of entry_filter.h.
#include "zipwriter/entry_filter.h"

namespace zf {

void MarkFiltered(const CallChoices& choices, ZipEntry* entry) {
  const EntryFilter* filter = choices.filter;
  if (filter == nullptr) return;
  entry->filtered = true;
  entry->filterFieldBytes = filter->fieldBytes;
  entry->flags = static_cast<std::uint16_t>(entry->flags | filter->flagBits);
}

bool BeginEntryData(ZipWriter* writer, const ZipEntry* entry) {
  if (!entry->filtered || writer->failure.code != ErrNone) return writer->failure.code == ErrNone;
  const CallChoices& choices = *writer->choices;
  writer->current.filterState = choices.filter->begin(choices.filterContext, writer, entry);
  return writer->current.filterState != nullptr && writer->failure.code == ErrNone;
}

void PutEntryData(ZipWriter* writer, const std::uint8_t* bytes, std::uint32_t count) {
  void* state = writer->current.filterState;
  if (state == nullptr) {
    PutBytes(writer, bytes, count);
    return;
  }
  writer->choices->filter->data(state, writer, bytes, count);
}

void EndEntryData(ZipWriter* writer) {
  void* state = writer->current.filterState;
  if (state == nullptr) return;
  writer->current.filterState = nullptr;
  const EntryFilter* filter = writer->choices->filter;
  if (writer->failure.code != ErrNone) {
    filter->release(state);
    return;
  }
  filter->end(state, writer);
  writer->current.compressedSize += filter->overheadBytes;
}

std::uint16_t WrittenMethod(const CallChoices& choices, const ZipEntry* entry) {
  return entry->filtered && choices.filter->replacesMethod ? choices.filter->methodNumber
                                                           : entry->method;
}

std::uint32_t WrittenCrc(const CallChoices& choices, const ZipEntry* entry, std::uint32_t crc) {
  return entry->filtered && choices.filter->hidesCrc ? 0 : crc;
}

std::uint16_t FilterVersion(const CallChoices& choices, const ZipEntry* entry) {
  return entry->filtered ? choices.filter->versionNeeded : 0;
}

std::uint8_t* StoreFilterField(const CallChoices& choices, const ZipEntry* entry,
                               std::uint8_t* at) {
  if (!entry->filtered || entry->filterFieldBytes == 0) return at;
  return choices.filter->storeField(choices.filterContext, entry, at);
}

std::uint32_t FilterOverhead(const CallChoices& choices, const ZipEntry* entry) {
  return entry->filtered ? choices.filter->overheadBytes : 0;
}

bool KeepsDescriptor(const CallChoices& choices, const ZipEntry* entry) {
  return entry->filtered && choices.filter->keepsDescriptor;
}

}  // namespace zf
