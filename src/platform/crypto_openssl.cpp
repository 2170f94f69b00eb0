// The cryptography of a POSIX build, from OpenSSL's libcrypto (3.0 or
// later): the derivation, AES and HMAC-SHA1 through its EVP interfaces,
// which pick the processor's AES and SHA instructions where it has them.
// The contexts are OpenSSL's own allocations; freeing them wipes their keys.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <climits>

#include "platform/crypto.h"

namespace zf {
namespace {

bool FitsInt(std::size_t count) { return count <= static_cast<std::size_t>(INT_MAX); }

EVP_CIPHER_CTX* Cipher(CryptoAes* aes) { return reinterpret_cast<EVP_CIPHER_CTX*>(aes); }
EVP_MAC_CTX* Mac(CryptoHmac* hmac) { return reinterpret_cast<EVP_MAC_CTX*>(hmac); }

}  // namespace

bool CryptoSupported() { return true; }

CryptoStatus CryptoPbkdf2Sha1(const std::uint8_t* password, std::size_t passwordBytes,
                              const std::uint8_t* salt, std::size_t saltBytes,
                              std::uint32_t iterations, std::uint8_t* out, std::size_t outBytes) {
  if (!FitsInt(passwordBytes) || !FitsInt(saltBytes) || !FitsInt(outBytes) ||
      iterations > static_cast<std::uint32_t>(INT_MAX)) {
    return kCryptoFailed;
  }
  const int done =
      PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password), static_cast<int>(passwordBytes),
                        salt, static_cast<int>(saltBytes), static_cast<int>(iterations), EVP_sha1(),
                        static_cast<int>(outBytes), out);
  return done == 1 ? kCryptoOk : kCryptoFailed;
}

CryptoStatus CryptoAesBegin(const std::uint8_t* key, std::size_t keyBytes, CryptoAes** aes) {
  *aes = nullptr;
  const EVP_CIPHER* cipher = keyBytes == 16   ? EVP_aes_128_ecb()
                             : keyBytes == 24 ? EVP_aes_192_ecb()
                             : keyBytes == 32 ? EVP_aes_256_ecb()
                                              : nullptr;
  if (cipher == nullptr) return kCryptoFailed;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (context == nullptr) return kCryptoNoMemory;
  if (EVP_EncryptInit_ex(context, cipher, nullptr, key, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(context, 0) != 1) {
    EVP_CIPHER_CTX_free(context);
    return kCryptoFailed;
  }
  *aes = reinterpret_cast<CryptoAes*>(context);
  return kCryptoOk;
}

CryptoStatus CryptoAesEncryptBlocks(CryptoAes* aes, const std::uint8_t* in, std::uint8_t* out,
                                    std::size_t blocks) {
  // EVP counts in int: at most 2^26 blocks per call.
  constexpr std::size_t kMostBlocks = std::size_t{1} << 26;
  while (blocks > 0) {
    const std::size_t now = blocks < kMostBlocks ? blocks : kMostBlocks;
    const int bytes = static_cast<int>(now * kAesBlockBytes);
    int written = 0;
    if (EVP_EncryptUpdate(Cipher(aes), out, &written, in, bytes) != 1 || written != bytes) {
      return kCryptoFailed;
    }
    in += now * kAesBlockBytes;
    out += now * kAesBlockBytes;
    blocks -= now;
  }
  return kCryptoOk;
}

void CryptoAesEnd(CryptoAes* aes) { EVP_CIPHER_CTX_free(Cipher(aes)); }

CryptoStatus CryptoHmacBegin(const std::uint8_t* key, std::size_t keyBytes, CryptoHmac** hmac) {
  *hmac = nullptr;
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
  if (mac == nullptr) return kCryptoFailed;
  // The context holds its own reference to the algorithm.
  EVP_MAC_CTX* context = EVP_MAC_CTX_new(mac);
  EVP_MAC_free(mac);
  if (context == nullptr) return kCryptoNoMemory;
  char digest[] = "SHA1";
  const OSSL_PARAM parameters[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end()};
  if (EVP_MAC_init(context, key, keyBytes, parameters) != 1) {
    EVP_MAC_CTX_free(context);
    return kCryptoFailed;
  }
  *hmac = reinterpret_cast<CryptoHmac*>(context);
  return kCryptoOk;
}

CryptoStatus CryptoHmacUpdate(CryptoHmac* hmac, const std::uint8_t* data, std::size_t bytes) {
  return EVP_MAC_update(Mac(hmac), data, bytes) == 1 ? kCryptoOk : kCryptoFailed;
}

CryptoStatus CryptoHmacFinal(CryptoHmac* hmac, std::uint8_t* mac) {
  std::size_t written = 0;
  if (EVP_MAC_final(Mac(hmac), mac, &written, kSha1Bytes) != 1 || written != kSha1Bytes) {
    return kCryptoFailed;
  }
  return kCryptoOk;
}

void CryptoHmacEnd(CryptoHmac* hmac) { EVP_MAC_CTX_free(Mac(hmac)); }

}  // namespace zf
