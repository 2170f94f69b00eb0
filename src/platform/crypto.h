// The system's cryptography, for encrypted entries: secure random bytes, the
// key derivation, AES on whole blocks and HMAC-SHA1. Apart from platform.h
// because it has an implementation of its own on each system (OpenSSL's
// libcrypto on POSIX, CNG's bcrypt.dll on Windows) and may be missing from a
// build: the library never implements a cipher, hash or derivation itself.
//
// Without OpenSSL at build time every operation but the random bytes and
// the wipe reports kCryptoUnsupported. The records behind CryptoAes and
// CryptoHmac are allocated by their Begin call (the system library
// allocates its own contexts too) and released, keys wiped, by their End
// call, which takes null.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zf {

enum CryptoStatus : std::int32_t {
  kCryptoOk = 0,
  kCryptoUnsupported = 1,  // this build has no cryptography library
  kCryptoNoMemory = 2,
  kCryptoFailed = 3,  // the system refused (no random source, a broken provider)
};

inline constexpr std::size_t kAesBlockBytes = 16;
inline constexpr std::size_t kSha1Bytes = 20;

struct CryptoAes;   // an AES key schedule, for one key
struct CryptoHmac;  // an HMAC-SHA1 under way

// True when the build has the cryptography library; false in the
// none-build, where the operations below all report kCryptoUnsupported.
bool CryptoSupported();

// count bytes from the system's cryptographically secure source.
CryptoStatus CryptoRandom(std::uint8_t* out, std::size_t count);

// Sets count bytes to zero in a way the compiler cannot leave out.
void CryptoWipe(void* bytes, std::size_t count);

// PBKDF2 with HMAC-SHA1 (RFC 8018): outBytes of key material.
CryptoStatus CryptoPbkdf2Sha1(const std::uint8_t* password, std::size_t passwordBytes,
                              const std::uint8_t* salt, std::size_t saltBytes,
                              std::uint32_t iterations, std::uint8_t* out, std::size_t outBytes);

// AES encryption of single blocks (ECB), with a key of 16, 24 or 32 bytes.
// Encrypting may be done in place (in == out).
CryptoStatus CryptoAesBegin(const std::uint8_t* key, std::size_t keyBytes, CryptoAes** aes);
CryptoStatus CryptoAesEncryptBlocks(CryptoAes* aes, const std::uint8_t* in, std::uint8_t* out,
                                    std::size_t blocks);
void CryptoAesEnd(CryptoAes* aes);

// HMAC-SHA1 over data given in pieces; CryptoHmacFinal gives kSha1Bytes.
CryptoStatus CryptoHmacBegin(const std::uint8_t* key, std::size_t keyBytes, CryptoHmac** hmac);
CryptoStatus CryptoHmacUpdate(CryptoHmac* hmac, const std::uint8_t* data, std::size_t bytes);
CryptoStatus CryptoHmacFinal(CryptoHmac* hmac, std::uint8_t* mac);
void CryptoHmacEnd(CryptoHmac* hmac);

}  // namespace zf
