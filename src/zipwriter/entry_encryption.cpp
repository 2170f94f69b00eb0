// The encryption filter of an entry: AES-CTR with HMAC-SHA1 over the
// encrypted data (AE-2), or the ZipCrypto stream, on the system's
// cryptography (platform/crypto.h).
#include "zipwriter/entry_encryption.h"

#include <cstring>

#include "platform/platform.h"
#include "zipwriter/format_numbers.h"

namespace zf {
namespace {

bool IsAes(EncryptionKind kind) { return kind == kEncryptAes256 || kind == kEncryptAes128; }

std::uint32_t AesKeyBytes(EncryptionKind kind) { return kind == kEncryptAes256 ? 32 : 16; }

// The salt is half the key's length.
std::uint32_t AesSaltBytes(EncryptionKind kind) { return AesKeyBytes(kind) / 2; }

// count bytes (at most kSha1Bytes with the seam) for the entry named name.
CryptoStatus DrawRandom(const EncryptionChoice& choice, const char* name, std::size_t nameBytes,
                        std::uint8_t* out, std::size_t count) {
  if (choice.fixedRandomSeed == 0) return CryptoRandom(out, count);
  std::uint8_t seed[8];
  for (std::uint32_t i = 0; i < 8; ++i) {
    seed[i] = static_cast<std::uint8_t>(choice.fixedRandomSeed >> (8 * i));
  }
  CryptoHmac* hmac = nullptr;
  std::uint8_t drawn[kSha1Bytes];
  CryptoStatus status = CryptoHmacBegin(seed, sizeof seed, &hmac);
  if (status == kCryptoOk) {
    status = CryptoHmacUpdate(hmac, reinterpret_cast<const std::uint8_t*>(name), nameBytes);
  }
  if (status == kCryptoOk) status = CryptoHmacFinal(hmac, drawn);
  CryptoHmacEnd(hmac);
  if (status == kCryptoOk) std::memcpy(out, drawn, count);
  return status;
}

// The key material of PBKDF2 split in three: the AES key, the MAC key, and
// the verifier that readers compare to reject a wrong password early.
CryptoStatus BeginAes(const EncryptionChoice& choice, const char* name, std::size_t nameBytes,
                      EntryEncryption* state) {
  const std::uint32_t keyBytes = AesKeyBytes(choice.kind);
  const std::uint32_t saltBytes = AesSaltBytes(choice.kind);
  CryptoStatus status = DrawRandom(choice, name, nameBytes, state->prefix, saltBytes);
  if (status != kCryptoOk) return status;
  std::uint8_t material[2 * 32 + kAesVerifierBytes] = {};
  const std::uint32_t materialBytes = 2 * keyBytes + kAesVerifierBytes;
  status = CryptoPbkdf2Sha1(choice.password, choice.passwordBytes, state->prefix, saltBytes,
                            kAesKeyIterations, material, materialBytes);
  if (status == kCryptoOk) status = CryptoAesBegin(material, keyBytes, &state->aes);
  if (status == kCryptoOk) status = CryptoHmacBegin(material + keyBytes, keyBytes, &state->hmac);
  std::memcpy(state->prefix + saltBytes, material + 2 * keyBytes, kAesVerifierBytes);
  CryptoWipe(material, sizeof material);
  state->prefixBytes = saltBytes + kAesVerifierBytes;
  state->counter[0] = 1;
  return status;
}

CryptoStatus BeginZipCrypto(const EncryptionChoice& choice, const char* name, std::size_t nameBytes,
                            std::uint8_t checkByte, EntryEncryption* state) {
  const CryptoStatus status =
      DrawRandom(choice, name, nameBytes, state->prefix, kZipCryptoHeaderBytes - 1);
  if (status != kCryptoOk) return status;
  state->prefix[kZipCryptoHeaderBytes - 1] = checkByte;
  state->zipCrypto = ZipCryptoStart(choice.password, choice.passwordBytes);
  ZipCryptoApply(&state->zipCrypto, state->prefix, kZipCryptoHeaderBytes);
  state->prefixBytes = kZipCryptoHeaderBytes;
  return kCryptoOk;
}

// The next blocks of key stream, enough for count bytes and at most the
// buffer: each the encrypted counter, which then counts on by one.
CryptoStatus MakeKeystream(EntryEncryption* state, std::size_t count) {
  const std::size_t wanted = (count + kAesBlockBytes - 1) / kAesBlockBytes;
  const std::size_t most = kKeystreamBytes / kAesBlockBytes;
  const std::size_t blocks = wanted < most ? wanted : most;
  for (std::size_t block = 0; block < blocks; ++block) {
    std::memcpy(state->keystream + block * kAesBlockBytes, state->counter, kAesBlockBytes);
    for (std::uint8_t& byte : state->counter) {
      if (++byte != 0) break;
    }
  }
  state->keystreamUsed = 0;
  state->keystreamFill = static_cast<std::uint32_t>(blocks * kAesBlockBytes);
  return CryptoAesEncryptBlocks(state->aes, state->keystream, state->keystream, blocks);
}

// The counter mode's loop: a byte of data meets the key stream byte of its
// own position in the entry, since the stream is made in whole blocks from
// the first and used in order, keystreamUsed counting what is taken of the
// blocks made last. The MAC covers the encrypted bytes, so it is updated
// after each piece is encrypted. Eight bytes go at a time where they can:
// the XOR of words is the XOR of their bytes in any byte order.
CryptoStatus EncryptAes(EntryEncryption* state, std::uint8_t* bytes, std::size_t count) {
  std::uint8_t* const start = bytes;
  const std::size_t total = count;
  while (count > 0) {
    if (state->keystreamUsed == state->keystreamFill) {
      const CryptoStatus status = MakeKeystream(state, count);
      if (status != kCryptoOk) return status;
    }
    const std::uint8_t* stream = state->keystream + state->keystreamUsed;
    const std::size_t left = state->keystreamFill - state->keystreamUsed;
    const std::size_t now = count < left ? count : left;
    std::size_t i = 0;
    for (; i + 8 <= now; i += 8) {
      std::uint64_t data;
      std::uint64_t key;
      std::memcpy(&data, bytes + i, 8);
      std::memcpy(&key, stream + i, 8);
      data ^= key;
      std::memcpy(bytes + i, &data, 8);
    }
    for (; i < now; ++i) bytes[i] ^= stream[i];
    state->keystreamUsed += static_cast<std::uint32_t>(now);
    bytes += now;
    count -= now;
  }
  return CryptoHmacUpdate(state->hmac, start, total);
}

}  // namespace

std::uint8_t ZipCryptoCheckByte(std::uint16_t flags, std::uint32_t crc, std::uint32_t dosDateTime) {
  if ((flags & kFlagDataDescriptor) != 0) return static_cast<std::uint8_t>(dosDateTime >> 8);
  return static_cast<std::uint8_t>(crc >> 24);
}

void DescribeEncryption(EncryptionKind kind, std::uint16_t realMethod, EncryptionHeader* header) {
  *header = EncryptionHeader{};
  header->flags = kFlagEncrypted;
  if (!IsAes(kind)) {
    header->method = realMethod;
    header->versionNeeded = kVersionClassic;
    header->overhead = kZipCryptoHeaderBytes;
    return;
  }
  header->method = kMethodAes;
  header->versionNeeded = kVersionAes;
  header->zeroCrc = true;
  header->overhead = AesSaltBytes(kind) + kAesVerifierBytes + kAesMacBytes;
  const std::uint8_t field[kAesFieldBytes] = {
      static_cast<std::uint8_t>(kAesFieldId & 0xFF),
      static_cast<std::uint8_t>(kAesFieldId >> 8),
      static_cast<std::uint8_t>(kAesFieldDataBytes),
      0,
      static_cast<std::uint8_t>(kAesVendorVersion),
      0,
      kAesVendorId[0],
      kAesVendorId[1],
      kind == kEncryptAes256 ? kAesStrength256 : kAesStrength128,
      static_cast<std::uint8_t>(realMethod & 0xFF),
      static_cast<std::uint8_t>(realMethod >> 8)};
  std::memcpy(header->extra, field, kAesFieldBytes);
  header->extraBytes = kAesFieldBytes;
}

CryptoStatus BeginEncryption(const EncryptionChoice& choice, const char* name,
                             std::size_t nameBytes, std::uint8_t checkByte,
                             EntryEncryption** state) {
  *state = nullptr;
  if (!CryptoSupported()) return kCryptoUnsupported;
  auto* created = static_cast<EntryEncryption*>(OsAllocate(sizeof(EntryEncryption)));
  if (created == nullptr) return kCryptoNoMemory;
  std::memset(created, 0, sizeof(EntryEncryption));
  created->kind = choice.kind;
  const CryptoStatus status = IsAes(choice.kind)
                                  ? BeginAes(choice, name, nameBytes, created)
                                  : BeginZipCrypto(choice, name, nameBytes, checkByte, created);
  if (status != kCryptoOk) {
    EndEncryption(created);
    return status;
  }
  *state = created;
  return kCryptoOk;
}

CryptoStatus EncryptBytes(EntryEncryption* state, std::uint8_t* bytes, std::size_t count) {
  if (IsAes(state->kind)) return EncryptAes(state, bytes, count);
  ZipCryptoApply(&state->zipCrypto, bytes, count);
  return kCryptoOk;
}

CryptoStatus FinishEncryption(EntryEncryption* state) {
  state->suffixBytes = 0;
  if (!IsAes(state->kind)) return kCryptoOk;
  std::uint8_t mac[kSha1Bytes];
  const CryptoStatus status = CryptoHmacFinal(state->hmac, mac);
  std::memcpy(state->suffix, mac, kAesMacBytes);
  CryptoWipe(mac, sizeof mac);
  if (status == kCryptoOk) state->suffixBytes = kAesMacBytes;
  return status;
}

void EndEncryption(EntryEncryption* state) {
  if (state == nullptr) return;
  CryptoAesEnd(state->aes);
  CryptoHmacEnd(state->hmac);
  CryptoWipe(state, sizeof(EntryEncryption));
  OsRelease(state);
}

}  // namespace zf
