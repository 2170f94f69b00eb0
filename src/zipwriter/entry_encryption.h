// Encrypted entries: WinZip's AES (AE-2, with 128- or 256-bit keys) and the
// traditional ZipCrypto, as a filter between a method's output and the
// archive. Apart from the writer because it is a stage of its own that any
// method's bytes pass through, and the only part of the library that holds
// keys.
//
// The filter stage, for one entry, on the thread that compresses it:
//   DescribeEncryption  what the headers say: the method number to write,
//                       the extra field, the flag bits, the version needed,
//                       whether the CRC is written as 0, and the overhead the
//                       compressed size counts beyond the method's output.
//                       Pure; call it whenever a header is composed.
//   BeginEncryption     creates the entry's state (its salt or header from
//                       the random source, its keys): the bytes to put
//                       before the data are in prefix / prefixBytes.
//   EncryptBytes        encrypts the method's output in place, every byte,
//                       in order, in pieces of any length.
//   FinishEncryption    the bytes to put after the data: suffix / suffixBytes.
//   EndEncryption       wipes the keys and releases the state; always, also
//                       after a failure or when the entry starts over (a
//                       new Begin then draws a new salt).
// The entry's compressed size is prefixBytes + the method's output +
// suffixBytes, which DescribeEncryption's overhead tells beforehand.
//
// What the caller supplies: the kind and the password (the call's choice,
// read-only and shared by every thread; the caller wipes its copy when the
// call ends), the entry's name (used only by the test seam), and, for
// ZipCrypto, the check byte (ZipCryptoCheckByte) before the first byte of
// data: the CRC's high byte, known beforehand only when the source is read
// ahead, or the DOS time's high byte when the entry carries a data
// descriptor (general-purpose bit 3).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crypto.h"
#include "zipwriter/format_numbers.h"
#include "zipwriter/zipcrypto_stream.h"

namespace zf {

// Derived from the format's numbers (format_numbers.h).
inline constexpr std::uint32_t kAesFieldBytes = 4 + kAesFieldDataBytes;
inline constexpr std::uint32_t kMostPrefixBytes = 16 + kAesVerifierBytes;
inline constexpr std::uint32_t kMostSuffixBytes = kAesMacBytes;

enum EncryptionKind : std::uint8_t {
  kEncryptNone = 0,
  kEncryptAes256 = 1,
  kEncryptAes128 = 2,
  kEncryptZipCrypto = 3,  // weak: only for readers that open nothing else
};

// The call's choice, read by every thread.
struct EncryptionChoice {
  EncryptionKind kind;
  const std::uint8_t* password;  // UTF-8, not terminated
  std::size_t passwordBytes;
  // A test seam, never set from the public interface: when non-zero, every
  // salt and header is drawn from this seed and the entry's name instead of
  // the system's source, so that an archive is the same bytes at every
  // thread count.
  std::uint64_t fixedRandomSeed;
};

// What the local and central headers of an encrypted entry say.
struct EncryptionHeader {
  std::uint16_t method;         // written in place of the real method
  std::uint16_t flags;          // general-purpose bits to add
  std::uint16_t versionNeeded;  // the least version needed to extract
  bool zeroCrc;                 // the CRC is written as 0, data descriptors included
  std::uint32_t overhead;       // prefix and suffix bytes in the compressed size
  std::uint16_t extraBytes;     // the extra field for both headers, 0 when none
  std::uint8_t extra[kAesFieldBytes];
};

// AES's counter mode makes its key stream this many bytes at a time.
inline constexpr std::uint32_t kKeystreamBytes = 4096;

// One entry's state, from BeginEncryption to EndEncryption.
struct EntryEncryption {
  EncryptionKind kind;
  std::uint8_t prefix[kMostPrefixBytes];
  std::uint32_t prefixBytes;
  std::uint8_t suffix[kMostSuffixBytes];
  std::uint32_t suffixBytes;
  // AES: the key, the MAC under way, the next counter block (little-endian,
  // the first block's is 1) and the key stream made but not used yet.
  CryptoAes* aes;
  CryptoHmac* hmac;
  std::uint8_t counter[kAesBlockBytes];
  std::uint32_t keystreamUsed;
  std::uint32_t keystreamFill;
  std::uint8_t keystream[kKeystreamBytes];
  ZipCryptoKeys zipCrypto;
};

// The check byte of ZipCrypto's header: the time's high byte when the entry
// carries a data descriptor (flags has bit 3), else the CRC's.
std::uint8_t ZipCryptoCheckByte(std::uint16_t flags, std::uint32_t crc, std::uint32_t dosDateTime);

// Fills header for an entry of kind (not kEncryptNone) whose data the
// method numbered realMethod makes.
void DescribeEncryption(EncryptionKind kind, std::uint16_t realMethod, EncryptionHeader* header);

// Allocates and starts one entry's state in *state (null on failure).
// name is the entry's name, for the test seam only.
CryptoStatus BeginEncryption(const EncryptionChoice& choice, const char* name,
                             std::size_t nameBytes, std::uint8_t checkByte,
                             EntryEncryption** state);
CryptoStatus EncryptBytes(EntryEncryption* state, std::uint8_t* bytes, std::size_t count);
CryptoStatus FinishEncryption(EntryEncryption* state);
// Takes null.
void EndEncryption(EntryEncryption* state);

}  // namespace zf
