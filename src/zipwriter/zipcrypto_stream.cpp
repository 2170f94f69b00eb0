// The ZipCrypto key stream. Its CRC step is the table step of CRC-32 without
// the inversions the ZIP CRC adds before and after, so it is the project's
// CRC of one byte, inverted on the way in and out: no second table.
#include "zipwriter/zipcrypto_stream.h"

#include "zipwriter/crc32.h"

namespace zf {
namespace {

// The format's initial keys and the multiplier of the second key's step.
constexpr std::uint32_t kInitialKeys[3] = {0x12345678, 0x23456789, 0x34567890};
constexpr std::uint32_t kKeyMultiplier = 134775813;

std::uint32_t CrcStep(std::uint32_t value, std::uint8_t byte) {
  return ~Crc32Update(~value, &byte, 1);
}

void Stir(ZipCryptoKeys* keys, std::uint8_t plain) {
  keys->key[0] = CrcStep(keys->key[0], plain);
  keys->key[1] = (keys->key[1] + (keys->key[0] & 0xFF)) * kKeyMultiplier + 1;
  keys->key[2] = CrcStep(keys->key[2], static_cast<std::uint8_t>(keys->key[1] >> 24));
}

std::uint8_t StreamByte(const ZipCryptoKeys* keys) {
  const std::uint32_t low = (keys->key[2] | 2) & 0xFFFF;
  return static_cast<std::uint8_t>((low * (low ^ 1)) >> 8);
}

}  // namespace

ZipCryptoKeys ZipCryptoStart(const std::uint8_t* password, std::size_t passwordBytes) {
  ZipCryptoKeys keys{{kInitialKeys[0], kInitialKeys[1], kInitialKeys[2]}};
  for (std::size_t i = 0; i < passwordBytes; ++i) Stir(&keys, password[i]);
  return keys;
}

void ZipCryptoApply(ZipCryptoKeys* keys, std::uint8_t* bytes, std::size_t count, bool decrypt) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t in = bytes[i];
    const auto out = static_cast<std::uint8_t>(in ^ StreamByte(keys));
    Stir(keys, decrypt ? out : in);
    bytes[i] = out;
  }
}

}  // namespace zf
