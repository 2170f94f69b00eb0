// Encrypted entries as the writer's filter stage (entry_filter.h): one
// filter row per kind, whose context is the call's EncryptionChoice. Apart
// from entry_encryption.h, which knows nothing of the writer, so that the
// encryption itself is tested and measured without an archive.
#pragma once

#include "zipwriter/entry_encryption.h"
#include "zipwriter/entry_filter.h"

namespace zf {

// The filter of kind; null for kEncryptNone. Its context is a
// const EncryptionChoice* that outlives the call's entries.
const EntryFilter* EncryptionFilter(EncryptionKind kind);

}  // namespace zf
