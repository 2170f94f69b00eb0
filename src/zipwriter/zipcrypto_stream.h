// The traditional ZIP encryption's key stream ("ZipCrypto"): three 32-bit
// keys that the password and then every plain byte stir, and a byte of
// stream drawn from the third. It is the format's own construction, not a
// cipher of the system's, and weak: it exists only for the readers that open
// nothing else. Apart from the entry logic because the tests use it alone,
// to read back what the writer wrote.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zf {

struct ZipCryptoKeys {
  std::uint32_t key[3];
};

// The keys after the password's bytes.
ZipCryptoKeys ZipCryptoStart(const std::uint8_t* password, std::size_t passwordBytes);
// Encrypts (or, decrypt true, decrypts) count bytes in place.
void ZipCryptoApply(ZipCryptoKeys* keys, std::uint8_t* bytes, std::size_t count,
                    bool decrypt = false);

}  // namespace zf
