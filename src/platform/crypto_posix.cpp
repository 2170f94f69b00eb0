// The parts of the cryptography a POSIX system gives without a library: the
// random source (getrandom on Linux, getentropy elsewhere) and the wipe.
// Apart from crypto_openssl.cpp because a build without OpenSSL needs them
// as much: ZipCrypto's headers and every salt come from here.
#include <cerrno>
#include <cstring>

#include "platform/crypto.h"

#if defined(__linux__)
#include <sys/random.h>
#else
#include <unistd.h>
#endif

namespace zf {

CryptoStatus CryptoRandom(std::uint8_t* out, std::size_t count) {
  while (count > 0) {
#if defined(__linux__)
    // The urandom source once the kernel's pool is ready, which getrandom
    // waits for; a call may return fewer bytes than asked or be interrupted.
    const ssize_t got = getrandom(out, count, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return kCryptoFailed;
    }
    const auto taken = static_cast<std::size_t>(got);
#else
    const std::size_t taken = count < 256 ? count : 256;  // getentropy's most per call
    if (getentropy(out, taken) != 0) return kCryptoFailed;
#endif
    out += taken;
    count -= taken;
  }
  return kCryptoOk;
}

void CryptoWipe(void* bytes, std::size_t count) {
  // Stores through a volatile pointer are observable behaviour: the compiler
  // keeps them although the memory is released right after.
  volatile auto* at = static_cast<volatile std::uint8_t*>(bytes);
  for (std::size_t i = 0; i < count; ++i) at[i] = 0;
}

}  // namespace zf
