// The encryption filter rows: the headers' marks from DescribeEncryption,
// and an entry's data encrypted in the writer's buffer-sized pieces.
#include "zipwriter/encryption_filter.h"

#include <cstring>

#include "platform/platform.h"
#include "zipwriter/headers.h"

namespace zf {
namespace {

// One entry's state: its keys, and room to encrypt the method's bytes in,
// which the filter stage hands on read-only.
struct EncryptingEntry {
  EntryEncryption* crypt;
  std::uint8_t scratch[kBufferBytes];
};

void Fail(ZipWriter* writer, CryptoStatus status) {
  if (writer->failure.code != ErrNone) return;
  writer->failure.code = status == kCryptoNoMemory ? ErrNoMemory : ErrCrypto;
}

void Release(void* opaque) {
  auto* state = static_cast<EncryptingEntry*>(opaque);
  if (state == nullptr) return;
  EndEncryption(state->crypt);
  CryptoWipe(state->scratch, sizeof state->scratch);
  OsRelease(state);
}

void* Begin(const void* context, ZipWriter* writer, const ZipEntry* entry) {
  const auto& choice = *static_cast<const EncryptionChoice*>(context);
  auto* state = static_cast<EncryptingEntry*>(OsAllocate(sizeof(EncryptingEntry)));
  if (state == nullptr) {
    Fail(writer, kCryptoNoMemory);
    return nullptr;
  }
  state->crypt = nullptr;
  const std::uint8_t check = ZipCryptoCheckByte(entry->flags, entry->crc, entry->dosDateTime);
  const CryptoStatus status =
      BeginEncryption(choice, entry->name, entry->nameLength, check, &state->crypt);
  if (status != kCryptoOk) {
    Release(state);
    Fail(writer, status);
    return nullptr;
  }
  PutBytes(writer, state->crypt->prefix, state->crypt->prefixBytes);
  return state;
}

void Data(void* opaque, ZipWriter* writer, const std::uint8_t* bytes, std::uint32_t count) {
  auto* state = static_cast<EncryptingEntry*>(opaque);
  while (count != 0 && writer->failure.code == ErrNone) {
    const std::uint32_t part = count < kBufferBytes ? count : kBufferBytes;
    std::memcpy(state->scratch, bytes, part);
    const CryptoStatus status = EncryptBytes(state->crypt, state->scratch, part);
    if (status != kCryptoOk) {
      Fail(writer, status);
      return;
    }
    PutBytes(writer, state->scratch, part);
    bytes += part;
    count -= part;
  }
}

void End(void* opaque, ZipWriter* writer) {
  auto* state = static_cast<EncryptingEntry*>(opaque);
  const CryptoStatus status = FinishEncryption(state->crypt);
  if (status != kCryptoOk) {
    Fail(writer, status);
  } else {
    PutBytes(writer, state->crypt->suffix, state->crypt->suffixBytes);
  }
  Release(state);
}

// The AES field, from the entry's own method.
template <EncryptionKind kKind>
std::uint8_t* StoreField(const void*, const ZipEntry* entry, std::uint8_t* at) {
  EncryptionHeader header;
  DescribeEncryption(kKind, entry->method, &header);
  std::memcpy(at, header.extra, header.extraBytes);
  return at + header.extraBytes;
}

template <EncryptionKind kKind>
constexpr EntryFilter MakeFilter() {
  EncryptionHeader header{};
  DescribeEncryption(kKind, kMethodStored, &header);
  return EntryFilter{.flagBits = header.flags,
                     .replacesMethod = header.method != kMethodStored,
                     .methodNumber = header.method,
                     .hidesCrc = header.zeroCrc,
                     .keepsDescriptor = kKind == kEncryptZipCrypto,
                     .versionNeeded = header.versionNeeded,
                     .fieldBytes = static_cast<std::uint8_t>(header.extraBytes),
                     .overheadBytes = header.overhead,
                     .storeField = StoreField<kKind>,
                     .begin = Begin,
                     .data = Data,
                     .end = End,
                     .release = Release};
}

}  // namespace

const EntryFilter* EncryptionFilter(EncryptionKind kind) {
  static const EntryFilter kAes256 = MakeFilter<kEncryptAes256>();
  static const EntryFilter kAes128 = MakeFilter<kEncryptAes128>();
  static const EntryFilter kZipCrypto = MakeFilter<kEncryptZipCrypto>();
  switch (kind) {
    case kEncryptAes256:
      return &kAes256;
    case kEncryptAes128:
      return &kAes128;
    case kEncryptZipCrypto:
      return &kZipCrypto;
    default:
      return nullptr;
  }
}

}  // namespace zf
