// The cryptography of a Windows build, from the system's CNG (bcrypt.dll),
// so that the DLL needs no file beside it: BCryptGenRandom, PBKDF2, AES in
// ECB mode and HMAC-SHA1. The key and hash objects live in blocks of our
// own, as CNG lets a caller give them; they are wiped before release.
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>

#include "platform/crypto.h"
#include "platform/platform.h"

namespace zf {

struct CryptoAes {
  BCRYPT_ALG_HANDLE algorithm;
  BCRYPT_KEY_HANDLE key;
  ULONG objectBytes;
  UCHAR* object;  // CNG's key object, right after this record
};

struct CryptoHmac {
  BCRYPT_ALG_HANDLE algorithm;
  BCRYPT_HASH_HANDLE hash;
  ULONG objectBytes;
  UCHAR* object;  // CNG's hash object, right after this record
};

namespace {

// CNG counts in ULONG; a larger count is taken in pieces.
constexpr std::size_t kMostBytes = 0x40000000;

// The algorithm's object size, with the provider open in *algorithm.
CryptoStatus OpenAlgorithm(LPCWSTR name, ULONG flags, BCRYPT_ALG_HANDLE* algorithm,
                           ULONG* objectBytes) {
  *algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm, name, nullptr, flags))) {
    *algorithm = nullptr;
    return kCryptoFailed;
  }
  ULONG got = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(*algorithm, BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(objectBytes), sizeof(ULONG), &got,
                                        0))) {
    BCryptCloseAlgorithmProvider(*algorithm, 0);
    *algorithm = nullptr;
    return kCryptoFailed;
  }
  return kCryptoOk;
}

// A record of type Record followed by its CNG object; null when memory is short.
template <typename Record>
Record* AllocateWithObject(BCRYPT_ALG_HANDLE algorithm, ULONG objectBytes) {
  auto* record = static_cast<Record*>(OsAllocate(sizeof(Record) + objectBytes));
  if (record == nullptr) return nullptr;
  record->algorithm = algorithm;
  record->objectBytes = objectBytes;
  record->object = reinterpret_cast<UCHAR*>(record + 1);
  return record;
}

template <typename Record>
void ReleaseWithObject(Record* record) {
  BCryptCloseAlgorithmProvider(record->algorithm, 0);
  CryptoWipe(record->object, record->objectBytes);
  OsRelease(record);
}

PUCHAR Bytes(const std::uint8_t* bytes) { return const_cast<PUCHAR>(bytes); }

}  // namespace

bool CryptoSupported() { return true; }

CryptoStatus CryptoRandom(std::uint8_t* out, std::size_t count) {
  while (count > 0) {
    const std::size_t now = count < kMostBytes ? count : kMostBytes;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(now),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return kCryptoFailed;
    }
    out += now;
    count -= now;
  }
  return kCryptoOk;
}

void CryptoWipe(void* bytes, std::size_t count) { SecureZeroMemory(bytes, count); }

CryptoStatus CryptoPbkdf2Sha1(const std::uint8_t* password, std::size_t passwordBytes,
                              const std::uint8_t* salt, std::size_t saltBytes,
                              std::uint32_t iterations, std::uint8_t* out, std::size_t outBytes) {
  if (passwordBytes > kMostBytes || saltBytes > kMostBytes || outBytes > kMostBytes) {
    return kCryptoFailed;
  }
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr,
                                                  BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return kCryptoFailed;
  }
  const NTSTATUS status = BCryptDeriveKeyPBKDF2(
      algorithm, Bytes(password), static_cast<ULONG>(passwordBytes), Bytes(salt),
      static_cast<ULONG>(saltBytes), iterations, out, static_cast<ULONG>(outBytes), 0);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return BCRYPT_SUCCESS(status) ? kCryptoOk : kCryptoFailed;
}

CryptoStatus CryptoAesBegin(const std::uint8_t* key, std::size_t keyBytes, CryptoAes** aes) {
  *aes = nullptr;
  if (keyBytes != 16 && keyBytes != 24 && keyBytes != 32) return kCryptoFailed;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ULONG objectBytes = 0;
  if (OpenAlgorithm(BCRYPT_AES_ALGORITHM, 0, &algorithm, &objectBytes) != kCryptoOk) {
    return kCryptoFailed;
  }
  auto* mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB));
  if (!BCRYPT_SUCCESS(BCryptSetProperty(algorithm, BCRYPT_CHAINING_MODE, mode,
                                        sizeof(BCRYPT_CHAIN_MODE_ECB), 0))) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return kCryptoFailed;
  }
  CryptoAes* record = AllocateWithObject<CryptoAes>(algorithm, objectBytes);
  if (record == nullptr) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return kCryptoNoMemory;
  }
  if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(algorithm, &record->key, record->object,
                                                 objectBytes, Bytes(key),
                                                 static_cast<ULONG>(keyBytes), 0))) {
    ReleaseWithObject(record);
    return kCryptoFailed;
  }
  *aes = record;
  return kCryptoOk;
}

CryptoStatus CryptoAesEncryptBlocks(CryptoAes* aes, const std::uint8_t* in, std::uint8_t* out,
                                    std::size_t blocks) {
  std::size_t bytes = blocks * kAesBlockBytes;
  while (bytes > 0) {
    const std::size_t now = bytes < kMostBytes ? bytes : kMostBytes;
    ULONG written = 0;
    if (!BCRYPT_SUCCESS(BCryptEncrypt(aes->key, Bytes(in), static_cast<ULONG>(now), nullptr,
                                      nullptr, 0, out, static_cast<ULONG>(now), &written, 0)) ||
        written != now) {
      return kCryptoFailed;
    }
    in += now;
    out += now;
    bytes -= now;
  }
  return kCryptoOk;
}

void CryptoAesEnd(CryptoAes* aes) {
  if (aes == nullptr) return;
  BCryptDestroyKey(aes->key);
  ReleaseWithObject(aes);
}

CryptoStatus CryptoHmacBegin(const std::uint8_t* key, std::size_t keyBytes, CryptoHmac** hmac) {
  *hmac = nullptr;
  if (keyBytes > kMostBytes) return kCryptoFailed;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ULONG objectBytes = 0;
  if (OpenAlgorithm(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG, &algorithm, &objectBytes) !=
      kCryptoOk) {
    return kCryptoFailed;
  }
  CryptoHmac* record = AllocateWithObject<CryptoHmac>(algorithm, objectBytes);
  if (record == nullptr) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return kCryptoNoMemory;
  }
  if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &record->hash, record->object, objectBytes,
                                       Bytes(key), static_cast<ULONG>(keyBytes), 0))) {
    ReleaseWithObject(record);
    return kCryptoFailed;
  }
  *hmac = record;
  return kCryptoOk;
}

CryptoStatus CryptoHmacUpdate(CryptoHmac* hmac, const std::uint8_t* data, std::size_t bytes) {
  while (bytes > 0) {
    const std::size_t now = bytes < kMostBytes ? bytes : kMostBytes;
    if (!BCRYPT_SUCCESS(BCryptHashData(hmac->hash, Bytes(data), static_cast<ULONG>(now), 0))) {
      return kCryptoFailed;
    }
    data += now;
    bytes -= now;
  }
  return kCryptoOk;
}

CryptoStatus CryptoHmacFinal(CryptoHmac* hmac, std::uint8_t* mac) {
  return BCRYPT_SUCCESS(BCryptFinishHash(hmac->hash, mac, kSha1Bytes, 0)) ? kCryptoOk
                                                                          : kCryptoFailed;
}

void CryptoHmacEnd(CryptoHmac* hmac) {
  if (hmac == nullptr) return;
  BCryptDestroyHash(hmac->hash);
  ReleaseWithObject(hmac);
}

}  // namespace zf
