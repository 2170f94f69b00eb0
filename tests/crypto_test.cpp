// The system's cryptography against published answers: PBKDF2-HMAC-SHA1
// (RFC 6070), AES (FIPS-197 and SP 800-38A), HMAC-SHA1 (RFC 2202).
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

#define SKIP_WITHOUT_CRYPTO() \
  if (!zf::CryptoSupported()) GTEST_SKIP() << "this build has no cryptography library"

TEST(Crypto, Pbkdf2Sha1GivesThePublishedKeys) {
  SKIP_WITHOUT_CRYPTO();
  struct Case {
    std::string password, salt;
    std::uint32_t iterations;
    std::string key;
  };
  const Case cases[] = {
      {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
       "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const Case& c : cases) {
    const auto password = Text(c.password);
    const auto salt = Text(c.salt);
    std::vector<std::uint8_t> key(c.key.size() / 2);
    ASSERT_EQ(zf::CryptoPbkdf2Sha1(password.data(), password.size(), salt.data(), salt.size(),
                                   c.iterations, key.data(), key.size()),
              zf::kCryptoOk);
    EXPECT_EQ(key, Hex(c.key)) << c.password << " " << c.iterations;
  }
}

TEST(Crypto, AesEncryptsThePublishedBlocks) {
  SKIP_WITHOUT_CRYPTO();
  struct Case {
    std::string key, plain, cipher;
  };
  const Case cases[] = {
      // FIPS-197, appendix C, for each key length.
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
      // SP 800-38A, F.1.1 and F.1.5: several blocks in one call.
      {"2b7e151628aed2a6abf7158809cf4f3c",
       "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
       "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
       "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
       "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51",
       "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"},
  };
  for (const Case& c : cases) {
    const auto key = Hex(c.key);
    auto blocks = Hex(c.plain);
    zf::CryptoAes* aes = nullptr;
    ASSERT_EQ(zf::CryptoAesBegin(key.data(), key.size(), &aes), zf::kCryptoOk);
    // In place, as the counter mode uses it.
    EXPECT_EQ(zf::CryptoAesEncryptBlocks(aes, blocks.data(), blocks.data(),
                                         blocks.size() / zf::kAesBlockBytes),
              zf::kCryptoOk);
    zf::CryptoAesEnd(aes);
    EXPECT_EQ(blocks, Hex(c.cipher)) << c.key;
  }
  zf::CryptoAes* aes = nullptr;
  EXPECT_NE(zf::CryptoAesBegin(Hex("0011").data(), 2, &aes), zf::kCryptoOk);
  EXPECT_EQ(aes, nullptr);
}

TEST(Crypto, HmacSha1GivesThePublishedMacsOverAnySplitOfTheData) {
  SKIP_WITHOUT_CRYPTO();
  struct Case {
    std::vector<std::uint8_t> key, data;
    std::string mac;
  };
  const Case cases[] = {
      {std::vector<std::uint8_t>(20, 0x0b), Text("Hi There"),
       "b617318655057264e28bc0b6fb378c8ef146be00"},
      {Text("Jefe"), Text("what do ya want for nothing?"),
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd),
       "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {std::vector<std::uint8_t>(80, 0xaa),
       Text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, c.data.size()}) {
      zf::CryptoHmac* hmac = nullptr;
      ASSERT_EQ(zf::CryptoHmacBegin(c.key.data(), c.key.size(), &hmac), zf::kCryptoOk);
      for (std::size_t at = 0; at < c.data.size(); at += piece) {
        const std::size_t count = std::min(piece, c.data.size() - at);
        EXPECT_EQ(zf::CryptoHmacUpdate(hmac, c.data.data() + at, count), zf::kCryptoOk);
      }
      std::vector<std::uint8_t> mac(zf::kSha1Bytes);
      EXPECT_EQ(zf::CryptoHmacFinal(hmac, mac.data()), zf::kCryptoOk);
      zf::CryptoHmacEnd(hmac);
      EXPECT_EQ(mac, Hex(c.mac)) << c.mac << " in pieces of " << piece;
    }
  }
}

// More than one getrandom call's worth, and never the same twice.
TEST(Crypto, RandomBytesDifferFromDrawToDraw) {
  std::vector<std::uint8_t> first(100000), second(100000);
  ASSERT_EQ(zf::CryptoRandom(first.data(), first.size()), zf::kCryptoOk);
  ASSERT_EQ(zf::CryptoRandom(second.data(), second.size()), zf::kCryptoOk);
  EXPECT_NE(first, second);
  std::size_t zeros = 0;
  for (std::uint8_t byte : first) zeros += byte == 0;
  EXPECT_LT(zeros, 1000u);  // about 390 expected
}

}  // namespace
