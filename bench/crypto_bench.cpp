// What encrypting every entry adds to a pack: the pack at level 8 on one
// thread (CompFilesToZipFile) against the encryption of the same files'
// compressed bytes, in the same run, one thread each; and the parts of it,
// the key derivation per entry and the counter mode with its MAC in MB/s.
//
//   zipfolder_crypto_bench [benchmark flags] [folder]
//
// The folder (default /usr/include) is packed into a memory-backed folder
// (/dev/shm). Each file's compressed size is taken as its size times the
// archive's ratio; its encryption is what the writer will do for it: one
// BeginEncryption (salt, PBKDF2 with 1,000 iterations, key set-up), its bytes
// in 16 KiB pieces through EncryptBytes, FinishEncryption, EndEncryption.
// Times are the thread's CPU time, which other processes on a busy machine
// disturb far less than the wall clock; each benchmark's fastest repetition
// counts. The summary gives the encrypted pack's time as a ratio to the
// plain pack's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "zipfolder.h"
#include "zipwriter/entry_encryption.h"

namespace {

namespace fs = std::filesystem;

struct Files {
  std::string folder;
  std::vector<std::uint64_t> sizes;
  std::uint64_t totalBytes = 0;
  std::uint64_t archiveBytes = 0;  // of the last pack
};

constexpr std::size_t kPieceBytes = 16384;  // the writer's buffer
const std::string kPassword = "correct horse battery staple";

zf::EncryptionChoice Choice(zf::EncryptionKind kind) {
  return {kind, reinterpret_cast<const std::uint8_t*>(kPassword.data()), kPassword.size(), 0};
}

std::string ArchivePath() { return "/dev/shm/zipfolder_crypto_bench_" + std::to_string(getpid()); }

void Pack(benchmark::State& state, Files* files) {
  const std::string archive = ArchivePath();
  for (auto _ : state) CompFilesToZipFile(files->folder.c_str(), archive.c_str());
  std::error_code ec;
  files->archiveBytes = fs::file_size(archive, ec);
  fs::remove(archive, ec);
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(files->totalBytes) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

// One entry's encryption of count bytes, piece after piece of one buffer.
bool EncryptEntry(zf::EncryptionKind kind, std::uint8_t* piece, std::uint64_t count) {
  zf::EntryEncryption* encryption = nullptr;
  bool good = zf::BeginEncryption(Choice(kind), "", 0, 0, &encryption) == zf::kCryptoOk;
  while (good && count > 0) {
    const std::size_t now = count < kPieceBytes ? count : kPieceBytes;
    good = zf::EncryptBytes(encryption, piece, now) == zf::kCryptoOk;
    count -= now;
  }
  good = good && zf::FinishEncryption(encryption) == zf::kCryptoOk;
  zf::EndEncryption(encryption);
  return good;
}

void EncryptPack(benchmark::State& state, const Files* files, zf::EncryptionKind kind) {
  if (files->archiveBytes == 0) {
    state.SkipWithError("the pack benchmark did not run first");
    return;
  }
  const double ratio =
      static_cast<double>(files->archiveBytes) / static_cast<double>(files->totalBytes);
  std::vector<std::uint8_t> piece(kPieceBytes, 0x5A);
  for (auto _ : state) {
    for (const std::uint64_t size : files->sizes) {
      const auto compressed = static_cast<std::uint64_t>(static_cast<double>(size) * ratio);
      if (!EncryptEntry(kind, piece.data(), compressed)) {
        state.SkipWithError("encryption failed");
        return;
      }
    }
  }
  state.counters["entries"] = static_cast<double>(files->sizes.size());
}

void Derive(benchmark::State& state, zf::EncryptionKind kind) {
  for (auto _ : state) {
    if (!EncryptEntry(kind, nullptr, 0)) state.SkipWithError("encryption failed");
  }
}

void EncryptAndMac(benchmark::State& state, zf::EncryptionKind kind) {
  constexpr std::uint64_t kEntryBytes = 64 << 20;
  std::vector<std::uint8_t> piece(kPieceBytes, 0x5A);
  for (auto _ : state) {
    if (!EncryptEntry(kind, piece.data(), kEntryBytes)) state.SkipWithError("encryption failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kEntryBytes));
}

// The console's lines, and each benchmark's fastest CPU time kept for the
// summary.
struct FastestReporter : benchmark::ConsoleReporter {
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double each =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const std::string name = run.run_name.function_name;
      const auto found = seconds.find(name);
      if (found == seconds.end() || each < found->second) seconds[name] = each;
    }
  }
};

const char* KindName(zf::EncryptionKind kind) {
  return kind == zf::kEncryptAes256   ? "aes256"
         : kind == zf::kEncryptAes128 ? "aes128"
                                      : "zipcrypto";
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!zf::CryptoSupported()) {
    std::fprintf(stderr, "this build has no cryptography library\n");
    return 1;
  }
  Files files;
  files.folder = argc > 1 ? argv[1] : "/usr/include";
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(files.folder, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) {
      files.sizes.push_back(it->file_size(ec));
      files.totalBytes += files.sizes.back();
    }
  }
  const zf::EncryptionKind kinds[] = {zf::kEncryptAes256, zf::kEncryptAes128,
                                      zf::kEncryptZipCrypto};
  benchmark::RegisterBenchmark("pack", Pack, &files)->Unit(benchmark::kMillisecond)->Iterations(1);
  for (const auto kind : kinds) {
    const std::string name = KindName(kind);
    benchmark::RegisterBenchmark(("encrypt_pack/" + name).c_str(), EncryptPack, &files, kind)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark(("derive/" + name).c_str(), Derive, kind)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("encrypt_and_mac/" + name).c_str(), EncryptAndMac, kind)
        ->Unit(benchmark::kMillisecond);
  }
  FastestReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const double pack = reporter.seconds["pack"];
  if (pack <= 0) return 0;
  std::printf("\n%zu files, %.1f MB, packed at level 8 on one thread: %.2f s (%.1f MB/s)\n",
              files.sizes.size(), static_cast<double>(files.totalBytes) / 1e6, pack,
              static_cast<double>(files.totalBytes) / 1e6 / pack);
  for (const auto kind : kinds) {
    const std::string name = KindName(kind);
    const double encrypt = reporter.seconds["encrypt_pack/" + name];
    const double derive = reporter.seconds["derive/" + name];
    const double stream = reporter.seconds["encrypt_and_mac/" + name];
    std::printf(
        "%-9s  %.1f us per entry, %.0f MB/s of data; the pack's encryption %.2f s: "
        "encrypted pack / plain pack = %.3f\n",
        name.c_str(), derive * 1e6, stream > 0 ? static_cast<double>(64 << 20) / 1e6 / stream : 0,
        encrypt, (pack + encrypt) / pack);
  }
  return 0;
}
