// The cryptography of a POSIX build made without OpenSSL: every operation
// that needs the library says so, and encrypted archives are refused with
// a status of their own instead of failing to build or link.
#include "platform/crypto.h"

namespace zf {

bool CryptoSupported() { return false; }

CryptoStatus CryptoPbkdf2Sha1(const std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t,
                              std::uint32_t, std::uint8_t*, std::size_t) {
  return kCryptoUnsupported;
}

CryptoStatus CryptoAesBegin(const std::uint8_t*, std::size_t, CryptoAes** aes) {
  *aes = nullptr;
  return kCryptoUnsupported;
}

CryptoStatus CryptoAesEncryptBlocks(CryptoAes*, const std::uint8_t*, std::uint8_t*, std::size_t) {
  return kCryptoUnsupported;
}

void CryptoAesEnd(CryptoAes*) {}

CryptoStatus CryptoHmacBegin(const std::uint8_t*, std::size_t, CryptoHmac** hmac) {
  *hmac = nullptr;
  return kCryptoUnsupported;
}

CryptoStatus CryptoHmacUpdate(CryptoHmac*, const std::uint8_t*, std::size_t) {
  return kCryptoUnsupported;
}

CryptoStatus CryptoHmacFinal(CryptoHmac*, std::uint8_t*) { return kCryptoUnsupported; }

void CryptoHmacEnd(CryptoHmac*) {}

}  // namespace zf
