// The Windows build's cryptography (CNG) under Wine: published answers of
// PBKDF2-HMAC-SHA1 (RFC 6070), AES (FIPS-197) and HMAC-SHA1 (RFC 2202), then
// one AES-256 entry through the encryption filter, printed in hex for
// check_crypto_host.py to recompute from the format's rules.
#include <cstdio>
#include <cstring>

#include "platform/crypto.h"
#include "zipwriter/entry_encryption.h"

namespace {

bool Same(const std::uint8_t* bytes, const char* hex) {
  for (std::size_t i = 0; hex[2 * i] != 0; ++i) {
    unsigned value = 0;
    if (std::sscanf(hex + 2 * i, "%2x", &value) != 1 || bytes[i] != value) return false;
  }
  return true;
}

const std::uint8_t* Bytes(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }

bool KnownAnswers() {
  std::uint8_t out[32];
  bool good = zf::CryptoPbkdf2Sha1(Bytes("password"), 8, Bytes("salt"), 4, 4096, out, 20) ==
                  zf::kCryptoOk &&
              Same(out, "4b007901b765489abead49d926f721d065a429c1");
  std::uint8_t key[32];
  for (std::uint8_t i = 0; i < 32; ++i) key[i] = i;
  std::uint8_t block[16];
  for (std::uint8_t i = 0; i < 16; ++i) block[i] = static_cast<std::uint8_t>(i * 0x11);
  zf::CryptoAes* aes = nullptr;
  good = good && zf::CryptoAesBegin(key, 32, &aes) == zf::kCryptoOk &&
         zf::CryptoAesEncryptBlocks(aes, block, block, 1) == zf::kCryptoOk &&
         Same(block, "8ea2b7ca516745bfeafc49904b496089");
  zf::CryptoAesEnd(aes);
  zf::CryptoHmac* hmac = nullptr;
  const char* data = "what do ya want for nothing?";
  good = good && zf::CryptoHmacBegin(Bytes("Jefe"), 4, &hmac) == zf::kCryptoOk &&
         zf::CryptoHmacUpdate(hmac, Bytes(data), 10) == zf::kCryptoOk &&
         zf::CryptoHmacUpdate(hmac, Bytes(data + 10), std::strlen(data) - 10) == zf::kCryptoOk &&
         zf::CryptoHmacFinal(hmac, out) == zf::kCryptoOk &&
         Same(out, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  zf::CryptoHmacEnd(hmac);
  return good && zf::CryptoRandom(out, sizeof out) == zf::kCryptoOk;
}

void Print(const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) std::printf("%02x", bytes[i]);
}

}  // namespace

int main() {
  if (!KnownAnswers()) {
    std::printf("crypto_host: a known answer differs\n");
    return 1;
  }
  // 5,000 bytes of i % 251, the password "secret", the seam's seed 7.
  static std::uint8_t data[5000];
  for (std::size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  const zf::EncryptionChoice choice{zf::kEncryptAes256, Bytes("secret"), 6, 7};
  zf::EntryEncryption* state = nullptr;
  if (zf::BeginEncryption(choice, "a", 1, 0, &state) != zf::kCryptoOk ||
      zf::EncryptBytes(state, data, 1234) != zf::kCryptoOk ||
      zf::EncryptBytes(state, data + 1234, sizeof data - 1234) != zf::kCryptoOk ||
      zf::FinishEncryption(state) != zf::kCryptoOk) {
    std::printf("crypto_host: the entry could not be encrypted\n");
    return 1;
  }
  std::printf("crypto_host: known answers ok\nentry ");
  Print(state->prefix, state->prefixBytes);
  Print(data, sizeof data);
  Print(state->suffix, state->suffixBytes);
  std::printf("\n");
  zf::EndEncryption(state);
  return 0;
}
