// The numbers the ZIP format fixes, named once: record signatures, extra
// field ids, general-purpose flag bits, the "made by" hosts and Unix modes.
#pragma once

#include <cstdint>

namespace zf {

// Record signatures.
inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr std::uint32_t kDataDescriptorSignature = 0x08074B50;
inline constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr std::uint32_t kEndRecordSignature = 0x06054B50;

// Extra field ids.
inline constexpr std::uint16_t kZip64FieldId = 0x0001;
inline constexpr std::uint16_t kTimestampFieldId = 0x5455;
inline constexpr std::uint16_t kAesFieldId = 0x9901;

// General-purpose flag bits.
inline constexpr std::uint16_t kFlagEncrypted = 0x0001;       // the data is encrypted
inline constexpr std::uint16_t kFlagDataDescriptor = 0x0008;  // CRC and sizes follow the data
inline constexpr std::uint16_t kFlagUtf8 = 0x0800;            // the name is UTF-8
inline constexpr std::uint16_t kFlagLevelBits = 0x0006;       // deflate's speed option
inline constexpr std::uint16_t kFlagLevelBest = 0x0002;       // ... maximum compression
inline constexpr std::uint16_t kFlagLevelFast = 0x0004;       // ... fast or super fast

// Compression methods.
inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflated = 8;
inline constexpr std::uint16_t kMethodAes = 99;  // the real method is in the AES field

// Versions needed to extract; "made by" takes 2.3 when 2.0 is needed.
inline constexpr std::uint16_t kVersionClassic = 20;
inline constexpr std::uint16_t kVersionZip64 = 45;
inline constexpr std::uint16_t kVersionAes = 51;
inline constexpr std::uint16_t kVersionMadeByClassic = 23;

// "Made by" hosts, in the high byte: every entry names the one it always
// has, but a link, which readers restore as a link only from a Unix host.
inline constexpr std::uint32_t kHostDefault = 11;
inline constexpr std::uint32_t kHostUnix = 3;

// Unix modes of the external attributes' high half.
inline constexpr std::uint32_t kUnixTypeMask = 0170000;
inline constexpr std::uint32_t kUnixLinkMode = 0120777;  // a link, permissions 0777

// WinZip's AES encryption (AE-2): the AES field's data, the key derivation
// and the bytes around the data; ZipCrypto's header.
inline constexpr std::uint16_t kAesFieldDataBytes = 7;
inline constexpr std::uint16_t kAesVendorVersion = 2;  // AE-2: no CRC, the MAC checks the data
inline constexpr std::uint8_t kAesVendorId[2] = {'A', 'E'};
inline constexpr std::uint8_t kAesStrength128 = 1;
inline constexpr std::uint8_t kAesStrength256 = 3;
inline constexpr std::uint32_t kAesKeyIterations = 1000;
inline constexpr std::uint32_t kAesVerifierBytes = 2;
inline constexpr std::uint32_t kAesMacBytes = 10;
inline constexpr std::uint32_t kZipCryptoHeaderBytes = 12;

}  // namespace zf
