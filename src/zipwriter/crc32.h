// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320).
#pragma once

#include <cstdint>

namespace zf {

// Continues a running CRC-32 (0 to start) over length bytes; null gives 0.
std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* buffer, std::uint32_t length);

}  // namespace zf
