// Reading the selection fields of the options record, and checking them.
#include "entry/selection.h"

#include <cstddef>
#include <cstring>

#include "platform/crypto.h"
#include "zipwriter/encryption_filter.h"
#include "zipwriter/source_details.h"

namespace zf {
namespace {

// Whether the record's size covers the field that ends at end.
bool Covers(const ZipFolderOptions* options, std::size_t end) {
  return options != nullptr && options->size >= end;
}

#define ZF_FIELD_END(field) (offsetof(ZipFolderOptions, field) + sizeof(ZipFolderOptions::field))

bool IsDotLevel(const char* level, std::size_t length) {
  return (length == 1 && level[0] == '.') || (length == 2 && level[0] == '.' && level[1] == '.');
}

// A prefix names folders below the archive's top: "/" between its levels,
// none empty, "." or "..", no leading "/" and no "\", which other readers
// take for a separator. One trailing "/" is allowed and dropped.
bool CheckPrefix(const char* prefix, std::size_t* length) {
  std::size_t end = std::strlen(prefix);
  if (end != 0 && prefix[end - 1] == '/') --end;
  if (end == 0 || end > 0xFFFF || prefix[0] == '/') return false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= end; ++i) {
    if (i < end && prefix[i] == '\\') return false;
    if (i == end || prefix[i] == '/') {
      if (i == start || IsDotLevel(prefix + start, i - start)) return false;
      start = i + 1;
    }
  }
  *length = end;
  return true;
}

bool CheckPatterns(const char* const* patterns, std::uint32_t count) {
  if (count == 0) return true;
  if (patterns == nullptr) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (patterns[i] == nullptr) return false;
  }
  return true;
}

// The password's copy, for a record that carries one.
std::int32_t ChooseEncryption(const ZipFolderOptions* options, EncryptionChoice* choice) {
  const char* password = Covers(options, ZF_FIELD_END(password)) ? options->password : nullptr;
  if (password == nullptr) return ZIPFOLDER_DONE;
  const std::int32_t kind =
      Covers(options, ZF_FIELD_END(encryption)) ? options->encryption : ZIPFOLDER_ENCRYPTION_AES256;
  const std::size_t length = std::strlen(password);
  if (length == 0 || kind < ZIPFOLDER_ENCRYPTION_AES256 || kind > ZIPFOLDER_ENCRYPTION_ZIPCRYPTO) {
    return ZIPFOLDER_BAD_ARGUMENT;
  }
  if (!CryptoSupported()) return ZIPFOLDER_NOT_SUPPORTED;
  auto* copy = static_cast<std::uint8_t*>(OsAllocate(length));
  if (copy == nullptr) return ZIPFOLDER_NO_MEMORY;
  std::memcpy(copy, password, length);
  choice->password = copy;
  choice->passwordBytes = length;
  choice->kind = kind == ZIPFOLDER_ENCRYPTION_AES128      ? kEncryptAes128
                 : kind == ZIPFOLDER_ENCRYPTION_ZIPCRYPTO ? kEncryptZipCrypto
                                                          : kEncryptAes256;
  return ZIPFOLDER_DONE;
}

}  // namespace

std::int32_t OpenSelection(Selection* selection, const ZipFolderOptions* options,
                           const char* srcFolder) {
  *selection = Selection{};
  const std::uint32_t flags = Covers(options, ZF_FIELD_END(flags)) ? options->flags : 0;
  NameFilterChoice choice{};
  choice.gitignore = (flags & ZIPFOLDER_FLAG_GITIGNORE) != 0;
  if (Covers(options, ZF_FIELD_END(folders))) selection->rules.folders = options->folders;
  if (Covers(options, ZF_FIELD_END(excludeCount))) {
    choice.exclude = options->exclude;
    choice.excludeCount = options->excludeCount;
  }
  if (Covers(options, ZF_FIELD_END(includeCount))) {
    choice.include = options->include;
    choice.includeCount = options->includeCount;
  }
  const char* prefix = Covers(options, ZF_FIELD_END(prefix)) ? options->prefix : nullptr;
  if (prefix != nullptr && *prefix != 0) {
    if (!CheckPrefix(prefix, &selection->prefixLength)) return ZIPFOLDER_BAD_ARGUMENT;
    selection->prefix = prefix;
  }
  if ((flags & ZIPFOLDER_FLAG_MTIME_CEILING) != 0 && Covers(options, ZF_FIELD_END(mtimeCeiling))) {
    selection->clampTimes = true;
    selection->timeCeiling = UnixToFileTime(options->mtimeCeiling);
  }
  const std::int32_t folders = selection->rules.folders;
  if ((folders != ZIPFOLDER_FOLDERS_NONE && folders != ZIPFOLDER_FOLDERS_EMPTY &&
       folders != ZIPFOLDER_FOLDERS_ALL) ||
      !CheckPatterns(choice.exclude, choice.excludeCount) ||
      !CheckPatterns(choice.include, choice.includeCount)) {
    return ZIPFOLDER_BAD_ARGUMENT;
  }
  selection->rules.sort = (flags & ZIPFOLDER_FLAG_SORT) != 0;
  selection->unixModes = (flags & ZIPFOLDER_FLAG_UNIX_MODES) != 0;
  selection->storeIncompressible = (flags & ZIPFOLDER_FLAG_STORE_INCOMPRESSIBLE) != 0;
  if ((flags & ZIPFOLDER_FLAG_STORE_TYPES) != 0) {
    const char* types = Covers(options, ZF_FIELD_END(storedTypes)) ? options->storedTypes : nullptr;
    selection->storedExtensions = types != nullptr ? types : kCompressedTypes;
  }
  const std::int32_t encryption = ChooseEncryption(options, &selection->encryption);
  if (encryption != ZIPFOLDER_DONE) return encryption;
  selection->rules.keepLinks = (flags & ZIPFOLDER_FLAG_SYMLINKS) != 0;
  selection->rules.rootItem = selection->prefix != nullptr;
  if (choice.gitignore || choice.excludeCount != 0 || choice.includeCount != 0) {
    if (!NameFilterOpen(&selection->filter, choice, srcFolder)) return ZIPFOLDER_NO_MEMORY;
    selection->rules.filter = &selection->filter;
  }
  return ZIPFOLDER_DONE;
}

void CloseSelection(Selection* selection) {
  if (selection->rules.filter != nullptr) NameFilterClose(&selection->filter);
  selection->rules.filter = nullptr;
  EncryptionChoice& encryption = selection->encryption;
  if (encryption.password != nullptr) {
    auto* copy = const_cast<std::uint8_t*>(encryption.password);
    CryptoWipe(copy, encryption.passwordBytes);
    OsRelease(copy);
  }
  encryption = EncryptionChoice{};
}

void ApplySelection(const Selection& selection, ZipWriter* writer) {
  writer->ownChoices.namePrefix = selection.prefix;
  writer->ownChoices.namePrefixLength = selection.prefixLength;
  writer->ownChoices.clampTimes = selection.clampTimes;
  writer->ownChoices.timeCeiling = selection.timeCeiling;
  writer->ownChoices.unixModes = selection.unixModes;
  writer->ownChoices.storeIncompressible = selection.storeIncompressible;
  writer->ownChoices.storedExtensions = selection.storedExtensions;
  writer->ownChoices.filter = EncryptionFilter(selection.encryption.kind);
  writer->ownChoices.filterContext = &selection.encryption;
}

}  // namespace zf
