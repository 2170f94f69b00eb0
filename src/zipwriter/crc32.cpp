#include "zipwriter/crc32.h"

#include <array>

namespace zf {
namespace {

// Table k gives the CRC of a byte followed by k zero bytes, so eight bytes
// fold into the CRC with eight independent lookups instead of a chain of
// eight dependent ones.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (std::uint32_t n = 0; n < 256; ++n) {
    for (std::size_t k = 1; k < 8; ++k) {
      const std::uint32_t previous = tables[k - 1][n];
      tables[k][n] = tables[0][previous & 0xFF] ^ (previous >> 8);
    }
  }
  return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

inline std::uint32_t Step(std::uint32_t c, std::uint8_t byte) {
  return kCrcTables[0][(c ^ byte) & 0xFF] ^ (c >> 8);
}

}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* buffer, std::uint32_t length) {
  if (buffer == nullptr) return 0;
  std::uint32_t c = ~crc;
  while (length >= 8) {
    const std::uint32_t low =
        c ^ (buffer[0] | buffer[1] << 8 | buffer[2] << 16 | std::uint32_t{buffer[3]} << 24);
    c = kCrcTables[7][low & 0xFF] ^ kCrcTables[6][(low >> 8) & 0xFF] ^
        kCrcTables[5][(low >> 16) & 0xFF] ^ kCrcTables[4][low >> 24] ^ kCrcTables[3][buffer[4]] ^
        kCrcTables[2][buffer[5]] ^ kCrcTables[1][buffer[6]] ^ kCrcTables[0][buffer[7]];
    buffer += 8;
    length -= 8;
  }
  while (length-- != 0) c = Step(c, *buffer++);
  return ~c;
}

}  // namespace zf
