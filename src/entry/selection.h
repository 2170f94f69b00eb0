// What the options of CompFilesToZipFileEx ask beyond packing every file:
// patterns and .gitignore, folder and link entries, the order, a name
// prefix and a time ceiling. The record is read once per call, only as far
// as its size covers it, so that an older record packs as it always did.
// The tool's progress walk reads the same record through the same function,
// so that both walks choose alike.
#pragma once

#include <cstdint>

#include "entry/name_filter.h"
#include "entry/pack_folder.h"
#include "zipfolder.h"
#include "zipwriter/entry_encryption.h"

namespace zf {

struct Selection {
  NameFilter filter;  // open only when rules.filter points at it
  WalkRules rules;
  const char* prefix;  // without a trailing "/"; null for none
  std::size_t prefixLength;
  bool clampTimes;
  OsFileTime timeCeiling;
  bool unixModes;
  bool storeIncompressible;
  const char* storedExtensions;  // IsStoredExtension's list; null: the archivers' eight
  // The password, copied from the options into memory of the call's own
  // and wiped when the selection closes; kind kEncryptNone without one.
  EncryptionChoice encryption;
};

// Reads the options (null: none) for a walk of srcFolder. ZIPFOLDER_DONE,
// ZIPFOLDER_BAD_ARGUMENT for a field out of its range (a bad prefix, a null
// pattern, an unknown folders value or encryption kind, an empty password),
// ZIPFOLDER_NOT_SUPPORTED for a password in a build without cryptography, or
// ZIPFOLDER_NO_MEMORY. The selection
// must stay in place until it is closed; closing one that failed is harmless.
std::int32_t OpenSelection(Selection* selection, const ZipFolderOptions* options,
                           const char* srcFolder);
void CloseSelection(Selection* selection);

// Hands the writer the prefix, the time ceiling and the encryption.
void ApplySelection(const Selection& selection, ZipWriter* writer);

}  // namespace zf
