// The CRC-32 of every byte packed: eight table lookups per eight bytes
// everywhere, and on x86 processors with carry-less multiply, sixteen bytes
// per multiply pair, four streams at once, for the bulk of each buffer (at
// level 1 the tables took a twelfth of the compressor's time).
#include "zipwriter/crc32.h"

#include <array>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZF_CRC_FOLDING 1
#endif

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

// The tables' loop over the register c (the CRC before its final inversion).
std::uint32_t TableUpdate(std::uint32_t c, const std::uint8_t* buffer, std::uint32_t length) {
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
  return c;
}

#ifdef ZF_CRC_FOLDING
// Folding. Read as a polynomial over GF(2), highest degree first, a message
// A followed by 128 bits B is A * x^128 + B, and its CRC register (from 0)
// depends only on that polynomial modulo the CRC's P. So A's 128 bits can be
// replaced by any C congruent to A * x^128 mod P, of at most 128 bits,
// without changing the register: C = lo(A) * (x^(128+64) mod P)
// + hi(A) * (x^128 mod P), two carry-less products of 64 by 33 bits, in
// the bit-reflected order of the format (which shifts each exponent by one;
// the constants below include that). Four streams fold 64 bytes at a time
// with the constants for 512 bits, then join with those for 128. The 16
// bytes left are congruent to the whole message, so the tables' loop over
// them from 0 gives its register. The register the caller continues from
// is xored into the first four bytes, which is what a register does.
// Checked against zlib over every length and alignment that reaches here.
constexpr std::uint32_t kLeastFolded = 64;

// Folds *x over 128 or 512 bits onto the 16 bytes at next (input, or the
// next stream). Through pointers, because a vector passed by value has
// another ABI on 32-bit x86.
__attribute__((target("pclmul,sse2"))) inline void FoldOnto(__m128i* x, const __m128i* constants,
                                                            const void* next) {
  *x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(*x, *constants, 0x00),
                                   _mm_clmulepi64_si128(*x, *constants, 0x11)),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(next)));
}

__attribute__((target("pclmul,sse2"))) std::uint32_t FoldUpdate(std::uint32_t c,
                                                                const std::uint8_t* buffer,
                                                                std::uint32_t length) {
  // Low half: the constant for the low 64 bits; high half: for the high.
  const __m128i by512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i by128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  __m128i x[4];
  std::memcpy(x, buffer, sizeof x);
  x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(static_cast<int>(c)));
  const std::uint8_t* p = buffer + sizeof x;
  std::uint32_t left = length - static_cast<std::uint32_t>(sizeof x);
  for (; left >= 64; p += 64, left -= 64) {
    for (int k = 0; k < 4; ++k) FoldOnto(&x[k], &by512, p + 16 * k);
  }
  for (int k = 1; k < 4; ++k) FoldOnto(&x[0], &by128, &x[k]);
  for (; left >= 16; p += 16, left -= 16) FoldOnto(&x[0], &by128, p);
  std::uint8_t folded[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), x[0]);
  return TableUpdate(TableUpdate(0, folded, 16), p, left);
}

// Every processor with carry-less multiply has SSE2.
bool CanFold() { return __builtin_cpu_supports("pclmul"); }
#endif

}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* buffer, std::uint32_t length) {
  if (buffer == nullptr) return 0;
#ifdef ZF_CRC_FOLDING
  if (length >= kLeastFolded && CanFold()) return ~FoldUpdate(~crc, buffer, length);
#endif
  return ~TableUpdate(~crc, buffer, length);
}

}  // namespace zf
