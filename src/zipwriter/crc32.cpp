#include "zipwriter/crc32.h"

#include <array>

namespace zf {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

inline std::uint32_t Step(std::uint32_t c, std::uint8_t byte) {
  return kCrcTable[(c ^ byte) & 0xFF] ^ (c >> 8);
}

}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* buffer, std::uint32_t length) {
  if (buffer == nullptr) return 0;
  std::uint32_t c = ~crc;
  while (length >= 8) {
    c = Step(c, buffer[0]);
    c = Step(c, buffer[1]);
    c = Step(c, buffer[2]);
    c = Step(c, buffer[3]);
    c = Step(c, buffer[4]);
    c = Step(c, buffer[5]);
    c = Step(c, buffer[6]);
    c = Step(c, buffer[7]);
    buffer += 8;
    length -= 8;
  }
  while (length-- != 0) c = Step(c, *buffer++);
  return ~c;
}

}  // namespace zf
