// Our deflate against zlib at the same level (raw deflate, 15-bit window,
// memory level 8) and against libdeflate at the same level, and level 9
// also against libdeflate's 12 (its near-optimal parse), on the same bytes,
// in the same run, one thread each. libdeflate compresses whole buffers:
// its side reads each file whole (the same reads and CRC as the others)
// and compresses it in one call; its allocation is made once per side.
//
//   zipfolder_bench [benchmark flags] [--levels=1,6,9] [path...]
//
// Each level from 1 to 9 (or those listed) is one comparison per data set;
// level 0 stores and has no compressor to compare.
// Each path (a folder, walked recursively, or a file) is one data set; the
// default is /usr/include and the 8 largest shared libraries of
// /usr/lib/x86_64-linux-gnu. All files are read into memory first and copied
// to a memory-backed folder, so both sides read from tmpfs, keep a CRC-32 of
// what they read and write their output to /dev/null.
//
// Every pass of every side is kept; the summary gives each side's median and
// the ratios of ours to each peer's median (time: below 1 is faster; size: below
// 1 is smaller). One-thread passes are timed in the thread's CPU time, which
// other processes on a busy machine disturb far less than the wall clock.
// A comparison is a list of sides over one data set: another benchmark adds
// its sides (with the clock that suits it) through AddComparison.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "deflate/deflate.h"
#include "deflate/deflate_state.h"
#include "zipwriter/entry_methods.h"
#include "zipwriter/zip_writer.h"

namespace {

namespace fs = std::filesystem;

struct DataSet {
  std::string label;
  std::vector<std::string> copies;  // the files' copies on tmpfs
  std::uint64_t totalBytes = 0;
};

enum class Clock { ThreadCpu, Wall };

double Now(Clock clock) {
  if (clock == Clock::Wall) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One way of turning the data set into compressed bytes. Set-up that is not
// to be timed happens in begin and end; pass runs once per iteration and
// returns the compressed size (0 on failure).
struct Side {
  std::string name;
  Clock clock = Clock::ThreadCpu;
  std::function<void(const DataSet&)> begin;
  std::function<std::uint64_t(const DataSet&)> pass;
  std::function<void()> end;
  std::vector<double> seconds;  // every pass
  std::uint64_t compressedBytes = 0;
};

// Sides measured on the same data set; the first (ours) is compared with
// each of the others.
struct Comparison {
  const DataSet* set;
  std::vector<Side> sides;
};

std::vector<std::uint8_t> ReadWhole(const fs::path& path) {
  std::vector<std::uint8_t> bytes;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  close(fd);
  return bytes;
}

void CollectFiles(const fs::path& path, std::vector<fs::path>* files) {
  std::error_code ec;
  if (fs::is_regular_file(fs::symlink_status(path, ec))) {
    files->push_back(path);
    return;
  }
  for (auto it = fs::recursive_directory_iterator(
           path, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) files->push_back(it->path());
  }
  std::sort(files->begin(), files->end());
}

std::vector<fs::path> LargestSharedLibraries(std::size_t count) {
  std::vector<std::pair<std::uintmax_t, fs::path>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/x86_64-linux-gnu", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".so") == std::string::npos || !entry.is_regular_file(ec) ||
        entry.is_symlink(ec)) {
      continue;
    }
    found.emplace_back(entry.file_size(ec), entry.path());
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
  std::vector<fs::path> files;
  for (std::size_t i = 0; i < found.size() && i < count; ++i) files.push_back(found[i].second);
  return files;
}

void MakeCopies(const std::vector<fs::path>& files, const fs::path& folder, DataSet* set) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  for (const fs::path& file : files) {
    const std::vector<std::uint8_t> bytes = ReadWhole(file);
    const std::string copy = (folder / std::to_string(set->copies.size())).string();
    const int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) continue;
    const bool whole = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    if (!whole) continue;
    set->copies.push_back(copy);
    set->totalBytes += bytes.size();
  }
}

// One pass of our compressor over the data set, as AddEntry drives it.
std::uint64_t CompressOurs(const DataSet& set, zf::ZipWriter* writer) {
  std::uint64_t compressed = 0;
  zf::ZipEntry entry{};
  for (const std::string& path : set.copies) {
    writer->current.source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    writer->failure.code = zf::ErrNone;
    writer->current.bytesRead = 0;
    writer->current.crc = 0;
    writer->current.compressedSize = 0;
    writer->position = 0;
    zf::DeflateEntry(&entry, writer);
    close(static_cast<int>(writer->current.source));
    if (writer->failure.code != zf::ErrNone)
      std::fprintf(stderr, "ours failed on %s\n", path.c_str());
    compressed += writer->current.compressedSize;
  }
  return compressed;
}

// The same pass with zlib: same reads into a 64 KiB buffer, same CRC, output
// through a 16 KiB buffer.
std::uint64_t CompressZlib(const DataSet& set, z_stream* stream, int sink) {
  static_assert(sizeof(Bytef) == 1);
  std::vector<Bytef> in(1 << 16);
  std::vector<Bytef> out(zf::kBufferBytes);
  std::uint64_t compressed = 0;
  for (const std::string& path : set.copies) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    deflateReset(stream);
    uLong crc = crc32(0, nullptr, 0);
    int flush = Z_NO_FLUSH;
    do {
      const ssize_t got = read(fd, in.data(), in.size());
      if (got <= 0) flush = Z_FINISH;
      const auto count = static_cast<uInt>(got > 0 ? got : 0);
      crc = crc32(crc, in.data(), count);
      stream->next_in = in.data();
      stream->avail_in = count;
      do {
        stream->next_out = out.data();
        stream->avail_out = static_cast<uInt>(out.size());
        deflate(stream, flush);
        const std::size_t have = out.size() - stream->avail_out;
        if (have != 0 && write(sink, out.data(), have) != static_cast<ssize_t>(have)) return 0;
        compressed += have;
      } while (stream->avail_out == 0);
    } while (flush != Z_FINISH);
    benchmark::DoNotOptimize(crc);
    close(fd);
  }
  return compressed;
}

// The same pass with libdeflate: each file read whole through the same
// 64 KiB reads and CRC, compressed in one call, the output written out.
std::uint64_t CompressLibdeflate(const DataSet& set, libdeflate_compressor* compressor, int sink,
                                 std::vector<std::uint8_t>* in, std::vector<std::uint8_t>* out) {
  std::uint64_t compressed = 0;
  for (const std::string& path : set.copies) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::size_t have = 0;
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
      if (in->size() < have + (1 << 16)) in->resize(2 * (have + (1 << 16)));
      const ssize_t got = read(fd, in->data() + have, 1 << 16);
      if (got <= 0) break;
      crc = crc32(crc, in->data() + have, static_cast<uInt>(got));
      have += static_cast<std::size_t>(got);
    }
    close(fd);
    benchmark::DoNotOptimize(crc);
    const std::size_t bound = libdeflate_deflate_compress_bound(compressor, have);
    if (out->size() < bound) out->resize(bound);
    const std::size_t size =
        libdeflate_deflate_compress(compressor, in->data(), have, out->data(), out->size());
    if (size == 0 || write(sink, out->data(), size) != static_cast<ssize_t>(size)) return 0;
    compressed += size;
  }
  return compressed;
}

void RunSide(benchmark::State& state, const DataSet* set, Side* side) {
  if (side->begin) side->begin(*set);
  for (auto _ : state) {
    const double start = Now(side->clock);
    const std::uint64_t compressed = side->pass(*set);
    const double took = Now(side->clock) - start;
    state.SetIterationTime(took);
    side->seconds.push_back(took);
    side->compressedBytes = compressed;
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(set->totalBytes) / 1e6 / took);
    state.counters["size"] = static_cast<double>(compressed);
  }
  if (side->end) side->end();
}

// Our compressor alone, driven as AddEntry drives it, on one state that all
// entries share.
Side OursSide(int level) {
  auto writer = std::make_shared<zf::ZipWriter*>(nullptr);
  Side side;
  side.name = "ours-" + std::to_string(level);
  side.begin = [writer, level](const DataSet&) {
    auto* w = static_cast<zf::ZipWriter*>(zf::OsAllocate(sizeof(zf::ZipWriter)));
    std::memset(w, 0, sizeof(zf::ZipWriter));
    w->choices = &w->ownChoices;
    w->ownChoices.level = level;
    w->sink = zf::StreamSink(open("/dev/null", O_WRONLY | O_CLOEXEC), false);
    *writer = w;
  };
  side.pass = [writer](const DataSet& set) { return CompressOurs(set, *writer); };
  side.end = [writer] {
    close(static_cast<int>((*writer)->sink.file));
    zf::OsRelease((*writer)->current.deflater);
    zf::OsRelease(*writer);
  };
  return side;
}

Side ZlibSide(int level) {
  auto stream = std::make_shared<z_stream>();
  auto sink = std::make_shared<int>(-1);
  Side side;
  side.name = "zlib-" + std::to_string(level);
  side.begin = [stream, sink, level](const DataSet&) {
    *stream = z_stream{};
    deflateInit2(stream.get(), level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    *sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  };
  side.pass = [stream, sink](const DataSet& set) { return CompressZlib(set, stream.get(), *sink); };
  side.end = [stream, sink] {
    close(*sink);
    deflateEnd(stream.get());
  };
  return side;
}

Side LibdeflateSide(int level) {
  struct Held {
    libdeflate_compressor* compressor = nullptr;
    int sink = -1;
    std::vector<std::uint8_t> in, out;
  };
  auto held = std::make_shared<Held>();
  Side side;
  side.name = "libdeflate-" + std::to_string(level);
  side.begin = [held, level](const DataSet&) {
    held->compressor = libdeflate_alloc_compressor(level);
    held->sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  };
  side.pass = [held](const DataSet& set) {
    return CompressLibdeflate(set, held->compressor, held->sink, &held->in, &held->out);
  };
  side.end = [held] {
    close(held->sink);
    libdeflate_free_compressor(held->compressor);
    held->in = {};
    held->out = {};
  };
  return side;
}

using Comparisons = std::vector<std::unique_ptr<Comparison>>;

void AddComparison(Comparisons* all, const DataSet* set, std::vector<Side> sides) {
  auto comparison = std::make_unique<Comparison>(Comparison{set, std::move(sides)});
  for (Side& side : comparison->sides) {
    benchmark::RegisterBenchmark((side.name + "/" + set->label).c_str(), RunSide, set, &side)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0);
  }
  all->push_back(std::move(comparison));
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void PrintSummary(const Comparisons& all) {
  std::printf("\nmedian pass of each side; state %zu bytes, writer %zu bytes\n",
              sizeof(zf::DeflateState), sizeof(zf::ZipWriter));
  for (const auto& comparison : all) {
    const DataSet& set = *comparison->set;
    const double mb = static_cast<double>(set.totalBytes) / 1e6;
    std::printf("%s: %zu files, %.1f MB\n", set.label.c_str(), set.copies.size(), mb);
    for (const Side& side : comparison->sides) {
      const double time = Median(side.seconds);
      if (time == 0) continue;
      std::printf("  %-13s %3zu passes %9.3f s %8.1f MB/s %12llu bytes\n", side.name.c_str(),
                  side.seconds.size(), time, mb / time,
                  static_cast<unsigned long long>(side.compressedBytes));
    }
  }
  // The same ratios once more, one line per comparison.
  // The ratios of ours to each peer, one line per pair.
  std::printf("\n%-44s %-8s %-13s %10s %10s\n", "data set", "ours", "peer", "time", "size");
  for (const auto& comparison : all) {
    const Side& ours = comparison->sides.front();
    const double time = Median(ours.seconds);
    for (const Side& peer : comparison->sides) {
      const double peerTime = Median(peer.seconds);
      if (&peer == &ours || time == 0 || peerTime == 0 || peer.compressedBytes == 0) continue;
      std::printf(
          "%-44s %-8s %-13s %10.3f %10.4f\n", comparison->set->label.c_str(), ours.name.c_str(),
          peer.name.c_str(), time / peerTime,
          static_cast<double>(ours.compressedBytes) / static_cast<double>(peer.compressedBytes));
    }
  }
}

// The levels of "--levels=1,6,9", taken out of the arguments; all of 1 to 9
// when the flag is absent.
std::vector<int> TakeLevels(int* argc, char** argv) {
  std::vector<int> levels;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp(argv[i], "--levels=", 9) != 0) {
      argv[kept++] = argv[i];
      continue;
    }
    for (const char* p = argv[i] + 9; *p != 0; ++p) {
      if (*p >= '1' && *p <= '9') levels.push_back(*p - '0');
    }
  }
  *argc = kept;
  if (levels.empty()) {
    for (int level = 1; level <= 9; ++level) levels.push_back(level);
  }
  return levels;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::vector<int> levels = TakeLevels(&argc, argv);
  std::error_code ec;
  const fs::path scratch =
      (fs::exists("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path(ec)) /
      ("zipfolder_bench." + std::to_string(getpid()));

  std::vector<std::unique_ptr<DataSet>> sets;
  auto addSet = [&](const std::string& label, const std::vector<fs::path>& files) {
    auto set = std::make_unique<DataSet>();
    set->label = label;
    MakeCopies(files, scratch / std::to_string(sets.size()), set.get());
    if (!set->copies.empty()) sets.push_back(std::move(set));
  };
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::vector<fs::path> files;
      CollectFiles(argv[i], &files);
      addSet(argv[i], files);
    }
  } else {
    std::vector<fs::path> files;
    CollectFiles("/usr/include", &files);
    addSet("/usr/include", files);
    addSet("8 largest .so in /usr/lib/x86_64-linux-gnu", LargestSharedLibraries(8));
  }

  Comparisons comparisons;
  for (const int level : levels) {
    for (const auto& set : sets) {
      std::vector<Side> sides{OursSide(level), ZlibSide(level), LibdeflateSide(level)};
      if (level == 9) sides.push_back(LibdeflateSide(12));
      AddComparison(&comparisons, set.get(), std::move(sides));
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary(comparisons);
  fs::remove_all(scratch, ec);
  return 0;
}
