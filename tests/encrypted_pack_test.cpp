// Folders packed with a password, checked by readers we did not write:
// 7-Zip and libarchive for AES, Info-ZIP's unzip and Python's zipfile for
// ZipCrypto, at one and four threads and streamed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "entry/pack_pipeline.h"
#include "entry/report.h"
#include "platform/crypto.h"
#include "support/test_files.h"
#include "zipwriter/encryption_filter.h"

namespace {

#define SKIP_WITHOUT_CRYPTO() \
  if (!zf::CryptoSupported()) GTEST_SKIP() << "this build has no cryptography library"

std::string Text(std::size_t count, int seed) {
  std::string text;
  while (text.size() < count) {
    text += "row " + std::to_string(seed) + ":" + std::to_string(text.size() % 7919) + " of text\n";
  }
  text.resize(count);
  return text;
}

// Stored (an incompressible file, a stored type, an empty one) and deflated
// entries, and a file large enough to be deflated in segments by several
// workers. Access times lie ahead, where a read does not move them, so that
// every pack of the tree stores the same.
std::string MakeTree(const zft::ScratchDir& scratch) {
  const std::string src = scratch.Path("src");
  zft::MakeDirs(src + "/sub");
  const auto random = zft::RandomBytes(150000, 7);
  std::vector<std::pair<std::string, std::string>> files = {
      {"random.bin", std::string(random.begin(), random.end())},
      {"photo.jpg", Text(4000, 1)},
      {"empty.txt", std::string()},
      {"sub/large.txt", Text(5u << 20, 2)}};
  for (int i = 0; i < 6; ++i) files.push_back({"sub/f" + std::to_string(i), Text(900, i)});
  const timespec times[2] = {{std::time(nullptr) + 86400, 0}, {1600000000, 0}};
  for (const auto& [name, content] : files) {
    zft::WriteFile(src + "/" + name, content);
    utimensat(AT_FDCWD, (src + "/" + name).c_str(), times, 0);
  }
  return src;
}

// " -" at the end of arguments streams the archive to standard output.
std::string Pack(const std::string& src, const std::string& zip, std::string arguments) {
  const bool streamed = arguments.size() >= 2 && arguments.substr(arguments.size() - 2) == " -";
  if (streamed) arguments.resize(arguments.size() - 2);
  const auto packed =
      zft::RunCommand("ZIPFOLDER_PASSWORD=PASS " + zft::Tool("-q " + arguments) + " " +
                      zft::Quote(src) + (streamed ? " - > " : " ") + zft::Quote(zip));
  EXPECT_EQ(packed.status, 0) << packed.output;
  return zip;
}

zft::CommandResult SevenZip(const std::string& password, const std::string& zip) {
  return zft::RunCommand("7z t -p" + zft::Quote(password) + " " + zft::Quote(zip));
}

// Every file of src, extracted byte for byte.
constexpr const char* kSameFiles = R"(import os, sys
src, out = sys.argv[1], sys.argv[2]
for folder, _, files in os.walk(src):
    for name in files:
        path = os.path.join(folder, name)
        if open(path, "rb").read() != open(out + path[len(src):], "rb").read():
            sys.exit(path + " differs")
print("ok")
)";

constexpr const char* kZipfileWithPassword = R"(import sys, zipfile
archive, folder = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive) as z:
    for info in z.infolist():
        if not info.flag_bits & 1 or z.read(info, pwd=b"PASS") != open(folder + "/" + info.filename, "rb").read():
            sys.exit(info.filename + " differs")
print("ok")
)";

bool SameFiles(const zft::ScratchDir& scratch, const std::string& src, const std::string& out) {
  zft::WriteFile(scratch.Path("same.py"), std::string(kSameFiles));
  const auto same =
      zft::RunCommand(std::string(ZIPFOLDER_PYTHON) + " " + zft::Quote(scratch.Path("same.py")) +
                      " " + zft::Quote(src) + " " + zft::Quote(out));
  EXPECT_EQ(same.output, "ok\n");
  return same.status == 0;
}

const std::vector<std::string> kWays = {"-T1", "-T4", "-T4 -"};

TEST(EncryptedPack, AesArchivesOpenInSevenZipAndBsdtarWithThePasswordOnly) {
  SKIP_WITHOUT_CRYPTO();
  zft::ScratchDir scratch;
  const std::string src = MakeTree(scratch);
  int made = 0;
  for (const std::string kind : {"aes256", "aes128"}) {
    for (const std::string& way : kWays) {
      SCOPED_TRACE(kind + " " + way);
      const std::string zip = Pack(src, scratch.Path(std::to_string(++made) + ".zip"),
                                   "--encryption=" + kind + " " + way);
      const auto tested = SevenZip("PASS", zip);
      EXPECT_NE(tested.output.find("Everything is Ok"), std::string::npos) << tested.output;
      EXPECT_NE(SevenZip("wrong", zip).status, 0);
      const std::string out = scratch.Path("out" + std::to_string(made));
      zft::MakeDirs(out);
      const auto bsdtar = [&](const std::string& password) {
        return zft::RunCommand("bsdtar -xf " + zft::Quote(zip) + " --passphrase " + password +
                               " -C " + zft::Quote(out));
      };
      EXPECT_NE(bsdtar("wrong").status, 0);
      const auto extracted = bsdtar("PASS");
      EXPECT_EQ(extracted.status, 0) << extracted.output;
      EXPECT_TRUE(SameFiles(scratch, src, out));
    }
  }
  // A byte of the large file's encrypted data, deep in the archive.
  auto bytes = zft::ReadFile(scratch.Path("1.zip"));
  bytes[bytes.size() / 2] ^= 0x01;
  zft::WriteFile(scratch.Path("flipped.zip"), bytes);
  const auto flipped = SevenZip("PASS", scratch.Path("flipped.zip"));
  EXPECT_NE(flipped.status, 0);
  EXPECT_EQ(flipped.output.find("Everything is Ok"), std::string::npos) << flipped.output;
}

TEST(EncryptedPack, ZipCryptoArchivesOpenInUnzipAndPython) {
  SKIP_WITHOUT_CRYPTO();
  zft::ScratchDir scratch;
  const std::string src = MakeTree(scratch);
  zft::WriteFile(scratch.Path("read.py"), std::string(kZipfileWithPassword));
  int made = 0;
  for (const std::string& way : kWays) {
    SCOPED_TRACE(way);
    const std::string zip =
        Pack(src, scratch.Path(std::to_string(++made) + ".zip"), "--encryption=zipcrypto " + way);
    const std::string out = scratch.Path("out" + std::to_string(made));
    const auto unzipped =
        zft::RunCommand("unzip -q -P PASS " + zft::Quote(zip) + " -d " + zft::Quote(out));
    EXPECT_EQ(unzipped.status, 0) << unzipped.output;
    EXPECT_TRUE(SameFiles(scratch, src, out));
    EXPECT_NE(zft::RunCommand("unzip -t -P wrong " + zft::Quote(zip)).status, 0);
    const auto read =
        zft::RunCommand(std::string(ZIPFOLDER_PYTHON) + " " + zft::Quote(scratch.Path("read.py")) +
                        " " + zft::Quote(zip) + " " + zft::Quote(src));
    EXPECT_EQ(read.output, "ok\n");
  }
}

// With the test seam's fixed seed the salts and headers follow from the
// names alone: one archive at every thread count, in every ZIP64 form the
// lowered limits make.
TEST(EncryptedPack, FixedSeedGivesTheSameBytesAtEveryThreadCount) {
  SKIP_WITHOUT_CRYPTO();
  zft::ScratchDir scratch;
  const std::string src = MakeTree(scratch);
  const std::string password = "PASS";
  for (const zf::EncryptionKind kind : {zf::kEncryptAes256, zf::kEncryptZipCrypto}) {
    const zf::EncryptionChoice choice{kind, reinterpret_cast<const std::uint8_t*>(password.data()),
                                      password.size(), 31};
    std::vector<std::uint8_t> first;
    for (const std::uint32_t threads : {1u, 4u}) {
      SCOPED_TRACE(std::to_string(kind) + " at " + std::to_string(threads));
      const std::string zip = scratch.Path("seed" + std::to_string(threads) + ".zip");
      zf::ZipWriter* writer = nullptr;
      ASSERT_EQ(zf::OpenArchive(zip.c_str(), &writer), zf::ErrNone);
      writer->ownChoices.filter = zf::EncryptionFilter(kind);
      writer->ownChoices.filterContext = &choice;
      writer->ownChoices.storeIncompressible = true;
      writer->ownChoices.classicSizeMax = 20000;
      writer->ownChoices.classicCountMax = 5;
      EXPECT_TRUE(
          zf::AddFolderTree(writer, src.c_str(), src.c_str(), threads, nullptr, nullptr, 1u << 20));
      EXPECT_EQ(zf::CloseArchive(writer), zf::ErrNone);
      const auto tested = SevenZip("PASS", zip);
      EXPECT_NE(tested.output.find("Everything is Ok"), std::string::npos) << tested.output;
      if (kind == zf::kEncryptAes256) {
        const std::string out = scratch.Path("seed-out" + std::to_string(threads));
        zft::MakeDirs(out);
        const auto extracted = zft::RunCommand("bsdtar -xf " + zft::Quote(zip) +
                                               " --passphrase PASS -C " + zft::Quote(out));
        EXPECT_EQ(extracted.status, 0) << extracted.output;
        EXPECT_TRUE(SameFiles(scratch, src, out));
      }
      if (threads == 1) first = zft::ReadFile(zip);
      EXPECT_EQ(zft::ReadFile(zip), first);
    }
  }
}

// The password's checks come before anything is created; an event never
// carries the password.
TEST(EncryptedPack, PasswordsAreCheckedFirstAndNeverTold) {
  zft::ScratchDir scratch;
  const std::string src = scratch.Path("src");
  zft::MakeDirs(src);
  zft::WriteFile(src + "/a.txt", Text(5000, 3));
  struct Case {
    const char* password;
    std::int32_t encryption;
    std::int32_t status;
  };
  const std::int32_t encrypted = zf::CryptoSupported() ? ZIPFOLDER_DONE : ZIPFOLDER_NOT_SUPPORTED;
  const Case cases[] = {{"", ZIPFOLDER_ENCRYPTION_AES256, ZIPFOLDER_BAD_ARGUMENT},
                        {"secret-pw", 3, ZIPFOLDER_BAD_ARGUMENT},
                        {"secret-pw", -1, ZIPFOLDER_BAD_ARGUMENT},
                        {"secret-pw", ZIPFOLDER_ENCRYPTION_ZIPCRYPTO, encrypted},
                        {nullptr, 3, ZIPFOLDER_DONE}};  // no password: the kind is not read
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.encryption));
    const std::string zip = scratch.Path("out.zip");
    std::string told;
    ZipFolderOptions options{};
    options.size = sizeof options;
    options.context = &told;
    options.callback = [](void* context, const ZipFolderEvent* event) {
      auto* text = static_cast<std::string*>(context);
      for (const char* field : {event->name, event->reasonText}) {
        if (field != nullptr) *text += field;
      }
      return 0;
    };
    options.password = c.password;
    options.encryption = c.encryption;
    EXPECT_EQ(zf::PackFolderReporting(src.c_str(), zip.c_str(), &options), c.status);
    EXPECT_EQ(zft::Exists(zip), c.status == ZIPFOLDER_DONE);
    EXPECT_EQ(told.find("secret-pw"), std::string::npos);
    std::remove(zip.c_str());
  }
  EXPECT_STREQ(zf::StatusText(ZIPFOLDER_NOT_SUPPORTED),
               "encryption is not supported in this build");
}

// Every entry's salt (the first bytes of its data, found from the central
// directory by zipfile) and every 16-byte run of every file's content.
constexpr const char* kSaltsAndRuns = R"(import os, struct, sys, zipfile
archive, src = sys.argv[1], sys.argv[2]
data = open(archive, "rb").read()
salts = set()
with zipfile.ZipFile(archive) as z:
    for info in z.infolist():
        at = info.header_offset
        name_bytes, extra_bytes = struct.unpack("<HH", data[at + 26:at + 30])
        salts.add(data[at + 30 + name_bytes + extra_bytes:][:16])
    count = len(z.infolist())
runs = set()
for name in os.listdir(src):
    content = open(os.path.join(src, name), "rb").read()
    runs.update(content[i:i + 16] for i in range(len(content) - 15))
found = sum(1 for i in range(len(data) - 15) if data[i:i + 16] in runs)
print(count, len(salts), found)
)";

TEST(EncryptedPack, TenThousandEntriesShareNoSaltAndShowNoPlainContent) {
  SKIP_WITHOUT_CRYPTO();
  zft::ScratchDir scratch;
  const std::string src = scratch.Path("src");
  zft::MakeDirs(src);
  const int files = zft::kInstrumentedBuild ? 2000 : 10000;
  for (int i = 0; i < files; ++i) {
    zft::WriteFile(src + "/n" + std::to_string(i),
                   "secret content of file number " + std::to_string(i * 7919) + " of many\n");
  }
  const std::string zip = Pack(src, scratch.Path("many.zip"), "");
  zft::WriteFile(scratch.Path("salts.py"), std::string(kSaltsAndRuns));
  const auto counted =
      zft::RunCommand(std::string(ZIPFOLDER_PYTHON) + " " + zft::Quote(scratch.Path("salts.py")) +
                      " " + zft::Quote(zip) + " " + zft::Quote(src));
  EXPECT_EQ(counted.output, std::to_string(files) + " " + std::to_string(files) + " 0\n");
}

}  // namespace
