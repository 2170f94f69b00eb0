// The encryption filter on its own, before any writer uses it: one AES entry
// against the format's rules computed apart in Python, and archives built by
// hand from its output that 7-Zip, bsdtar, unzip and Python's zipfile open.
#include "zipwriter/entry_encryption.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/hand_zip.h"
#include "support/test_files.h"
#include "zipwriter/format_numbers.h"

namespace {

const std::string kPassword = "pässword 1";
constexpr std::uint32_t kDosTime = 0x5A8C6B2E;  // 2025-04-12 13:25:28

struct Plan {
  std::string name;
  zf::EncryptionKind kind;
  std::uint16_t method;  // 0 stored, 8 deflated
  std::uint16_t flags;   // kFlagDataDescriptor or 0
  std::vector<std::uint8_t> content;
};

zf::EncryptionChoice Choice(zf::EncryptionKind kind, const std::string& password,
                            std::uint64_t seed) {
  return {kind, reinterpret_cast<const std::uint8_t*>(password.data()), password.size(), seed};
}

// The entry as the writer is to make it: the method's bytes through the
// filter in uneven pieces, between its prefix and its suffix, and the
// headers' fields from DescribeEncryption.
zft::HandEntry Encrypt(const Plan& plan, const zf::EncryptionChoice& choice) {
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, plan.content.data(), static_cast<uInt>(plan.content.size())));
  std::vector<std::uint8_t> method =
      plan.method == 8 ? zft::RawDeflate(plan.content) : plan.content;
  zf::EncryptionHeader header;
  zf::DescribeEncryption(choice.kind, plan.method, &header);
  zf::EntryEncryption* state = nullptr;
  EXPECT_EQ(zf::BeginEncryption(choice, plan.name.data(), plan.name.size(),
                                zf::ZipCryptoCheckByte(plan.flags, crc, kDosTime), &state),
            zf::kCryptoOk);
  if (state == nullptr) return {};
  std::vector<std::uint8_t> data(state->prefix, state->prefix + state->prefixBytes);
  for (std::size_t at = 0, piece = 1; at < method.size(); at += piece, piece = piece * 3 + 1) {
    piece = std::min(piece, method.size() - at);
    EXPECT_EQ(zf::EncryptBytes(state, method.data() + at, piece), zf::kCryptoOk);
  }
  data.insert(data.end(), method.begin(), method.end());
  EXPECT_EQ(zf::FinishEncryption(state), zf::kCryptoOk);
  data.insert(data.end(), state->suffix, state->suffix + state->suffixBytes);
  zf::EndEncryption(state);
  EXPECT_EQ(data.size(), method.size() + header.overhead) << plan.name;
  return {plan.name,
          std::max(zf::kVersionClassic, header.versionNeeded),
          static_cast<std::uint16_t>(plan.flags | header.flags),
          header.method,
          kDosTime,
          header.zeroCrc ? 0 : crc,
          static_cast<std::uint32_t>(plan.content.size()),
          {header.extra, header.extra + header.extraBytes},
          data};
}

std::vector<std::uint8_t> Text(std::size_t count) {
  std::string text;
  while (text.size() < count) text += "line " + std::to_string(text.size() % 977) + " of text\n";
  return {text.begin(), text.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

#define SKIP_WITHOUT_CRYPTO() \
  if (!zf::CryptoSupported()) GTEST_SKIP() << "this build has no cryptography library"

// The verifier, the data and the MAC of an entry, from PBKDF2, AES in ECB
// over WinZip's little-endian counters from 1, and HMAC-SHA1 over the
// encrypted data, written out in Python from the format's description.
constexpr const char* kAesRules = R"(import hashlib, hmac, sys
try:
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
except ImportError:
    sys.exit(77)
password, salt, key_bytes, plain = sys.argv[1], bytes.fromhex(sys.argv[2]), int(sys.argv[3]), open(sys.argv[4], "rb").read()
material = hashlib.pbkdf2_hmac("sha1", password.encode(), salt, 1000, 2 * key_bytes + 2)
key, mac_key, verifier = material[:key_bytes], material[key_bytes:2 * key_bytes], material[2 * key_bytes:]
counters = b"".join((i + 1).to_bytes(16, "little") for i in range((len(plain) + 15) // 16))
encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
stream = encryptor.update(counters) + encryptor.finalize()
data = bytes(p ^ s for p, s in zip(plain, stream))
print((verifier + data + hmac.new(mac_key, data, hashlib.sha1).digest()[:10]).hex())
)";

TEST(EntryEncryption, AesEntryFollowsTheFormatsRulesComputedApart) {
  SKIP_WITHOUT_CRYPTO();
  zft::ScratchDir scratch;
  zft::WriteFile(scratch.Path("rules.py"), std::string(kAesRules));
  // Longer than the key stream made at once, and not whole blocks.
  const auto content = zft::RandomBytes(3 * zf::kKeystreamBytes + 21, 5);
  zft::WriteFile(scratch.Path("plain"), content);
  for (const auto kind : {zf::kEncryptAes256, zf::kEncryptAes128}) {
    const std::size_t saltBytes = kind == zf::kEncryptAes256 ? 16 : 8;
    const zft::HandEntry entry = Encrypt({"a", kind, 0, 0, content}, Choice(kind, kPassword, 7));
    ASSERT_EQ(entry.data.size(), saltBytes + 2 + content.size() + 10);
    const auto result = zft::RunCommand(
        std::string(ZIPFOLDER_PYTHON) + " " + zft::Quote(scratch.Path("rules.py")) + " " +
        zft::Quote(kPassword) + " " + Hex(entry.data.data(), saltBytes) + " " +
        std::to_string(saltBytes * 2) + " " + zft::Quote(scratch.Path("plain")));
    if (result.status == 77) GTEST_SKIP() << "needs Python's cryptography (python3-cryptography)";
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output,
              Hex(entry.data.data() + saltBytes, entry.data.size() - saltBytes) + "\n");
    const std::uint8_t field[] = {
        0x01, 0x99, 7,
        0,    2,    0,
        'A',  'E',  kind == zf::kEncryptAes256 ? zf::kAesStrength256 : zf::kAesStrength128,
        0,    0};
    EXPECT_EQ(entry.extra, std::vector<std::uint8_t>(field, field + sizeof field));
  }
}

// The seam draws from the seed and the name alone, so that an archive does not
// depend on which thread encrypted which entry; the system's source never
// repeats a salt.
TEST(EntryEncryption, SaltsComeFromTheSeedAndTheNameOrElseTheSystem) {
  SKIP_WITHOUT_CRYPTO();
  const auto salt = [](const std::string& name, std::uint64_t seed) {
    const zft::HandEntry entry =
        Encrypt({name, zf::kEncryptAes256, 0, 0, {}}, Choice(zf::kEncryptAes256, kPassword, seed));
    return std::vector<std::uint8_t>(entry.data.begin(), entry.data.begin() + 16);
  };
  EXPECT_EQ(salt("a", 7), salt("a", 7));
  EXPECT_NE(salt("a", 7), salt("b", 7));
  EXPECT_NE(salt("a", 7), salt("a", 8));
  EXPECT_NE(salt("a", 0), salt("a", 0));
}

// A build without its cryptography library refuses every kind up front.
TEST(EntryEncryption, EveryKindStartsOrIsRefusedAsNotSupported) {
  for (const auto kind : {zf::kEncryptAes256, zf::kEncryptAes128, zf::kEncryptZipCrypto}) {
    zf::EntryEncryption* state = nullptr;
    EXPECT_EQ(zf::BeginEncryption(Choice(kind, kPassword, 0), "a", 1, 0, &state),
              zf::CryptoSupported() ? zf::kCryptoOk : zf::kCryptoUnsupported);
    EXPECT_EQ(state != nullptr, zf::CryptoSupported());
    zf::EndEncryption(state);
  }
}

TEST(EntryEncryption, AesArchivesOpenInSevenZipAndBsdtarWithThePasswordOnly) {
  SKIP_WITHOUT_CRYPTO();
  zft::ScratchDir scratch;
  const std::vector<Plan> plans = {
      {"aes256-stored.bin", zf::kEncryptAes256, 0, 0, zft::RandomBytes(70000, 1)},
      {"aes256-deflated.txt", zf::kEncryptAes256, 8, 0, Text(100000)},
      {"aes128-stored.txt", zf::kEncryptAes128, 0, 0, Text(33)},
      {"aes128-deflated.txt", zf::kEncryptAes128, 8, 0, Text(5000)},
      {"empty", zf::kEncryptAes256, 0, 0, {}},
      // As on a stream: CRC 0 in the data descriptor too.
      {"aes256-descriptor.txt", zf::kEncryptAes256, 8, zf::kFlagDataDescriptor, Text(20000)},
  };
  std::vector<zft::HandEntry> entries;
  for (const Plan& plan : plans) entries.push_back(Encrypt(plan, Choice(plan.kind, kPassword, 0)));
  const std::string zip = scratch.Path("aes.zip");
  zft::WriteFile(zip, zft::HandArchive(entries));

  const auto sevenZip = [&](const std::string& password, const std::string& path) {
    return zft::RunCommand("7z t -p" + zft::Quote(password) + " " + zft::Quote(path));
  };
  const auto result = sevenZip(kPassword, zip);
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("Everything is Ok"), std::string::npos) << result.output;
  EXPECT_NE(sevenZip("wrong", zip).status, 0);

  const std::string out = scratch.Path("out");
  zft::MakeDirs(out);
  // From a pipe, libarchive reads forward only, as a stream's reader does.
  const auto bsdtar = [&](const std::string& password) {
    return zft::RunCommand("bsdtar -xf - --passphrase " + zft::Quote(password) + " -C " +
                           zft::Quote(out) + " < " + zft::Quote(zip));
  };
  EXPECT_NE(bsdtar("wrong").status, 0);
  const auto extracted = bsdtar(kPassword);
  EXPECT_EQ(extracted.status, 0) << extracted.output;
  for (const Plan& plan : plans) {
    EXPECT_EQ(zft::ReadFile(scratch.Path("out/" + plan.name)), plan.content) << plan.name;
  }

  // One byte of encrypted data changed: the MAC no longer matches.
  auto bytes = zft::ReadFile(zip);
  bytes[30 + plans[0].name.size() + zf::kAesFieldBytes + 18 + 1000] ^= 0x20;
  zft::WriteFile(scratch.Path("flipped.zip"), bytes);
  EXPECT_NE(sevenZip(kPassword, scratch.Path("flipped.zip")).status, 0);
}

constexpr const char* kReadWithPassword = R"(import sys, zipfile
archive, folder, password = sys.argv[1], sys.argv[2], sys.argv[3].encode()
with zipfile.ZipFile(archive) as z:
    for name in z.namelist():
        if z.read(name, pwd=password) != open(folder + "/" + name, "rb").read():
            sys.exit(name + " differs")
print("ok")
)";

// With a data descriptor the check byte is the time's, else the CRC's: both
// forms, stored and deflated.
TEST(EntryEncryption, ZipCryptoArchivesOpenInUnzipAndPythonWithThePasswordOnly) {
  SKIP_WITHOUT_CRYPTO();
  zft::ScratchDir scratch;
  const auto k = zf::kEncryptZipCrypto;
  const auto d = zf::kFlagDataDescriptor;
  const std::vector<Plan> plans = {
      {"time-stored.bin", k, 0, d, zft::RandomBytes(20000, 2)},
      {"time-deflated.txt", k, 8, d, Text(50000)},
      {"crc-stored.txt", k, 0, 0, Text(100)},
      {"crc-deflated.txt", k, 8, 0, Text(7000)},
  };
  std::vector<zft::HandEntry> entries;
  zft::MakeDirs(scratch.Path("plain"));
  for (const Plan& plan : plans) {
    entries.push_back(Encrypt(plan, Choice(k, kPassword, 0)));
    zft::WriteFile(scratch.Path("plain/" + plan.name), plan.content);
  }
  const std::string zip = scratch.Path("zipcrypto.zip");
  zft::WriteFile(zip, zft::HandArchive(entries));

  const auto unzip = [&](const std::string& password) {
    return zft::RunCommand("unzip -t -P " + zft::Quote(password) + " " + zft::Quote(zip));
  };
  const auto tested = unzip(kPassword);
  EXPECT_EQ(tested.status, 0) << tested.output;
  EXPECT_NE(tested.output.find("No errors detected"), std::string::npos) << tested.output;
  EXPECT_NE(unzip("wrong").status, 0);

  zft::WriteFile(scratch.Path("read.py"), std::string(kReadWithPassword));
  const auto read = zft::RunCommand(
      std::string(ZIPFOLDER_PYTHON) + " " + zft::Quote(scratch.Path("read.py")) + " " +
      zft::Quote(zip) + " " + zft::Quote(scratch.Path("plain")) + " " + zft::Quote(kPassword));
  EXPECT_EQ(read.output, "ok\n");
}

}  // namespace
