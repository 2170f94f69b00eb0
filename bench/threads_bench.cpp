// The whole tool at -T 1 and -T 2 on the same trees, in the same run: wall
// time and its ratio, processor time (user and system) and its ratio, peak
// memory of each run, and whether the two archives are the same bytes. On a
// busy machine the processor-time ratio shows what the threads cost, while
// the wall time shows only what share of the machine the run was given.
//
//   zipfolder_threads_bench [--rounds=N] [--baseline=TOOL] [folder...]
//
// The default trees are /usr/include, a folder of links to the 8 largest
// shared libraries of /usr/lib/x86_64-linux-gnu, and one of a link to the
// largest alone (its time goes into one file, which the threads parse in
// segments). The two thread counts take turns, N rounds (default 3), and
// the best time of each counts, so that a load that comes and goes weighs
// on both alike. With --baseline, another build of the tool takes its turns
// at -T 1 and -T 2 too, and "T1/base" and "T2/base" are this build's times
// against it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Run {
  double seconds;
  double cpuSeconds;
  long peakKilobytes;
  bool ok;
};

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

Run RunTool(const std::string& tool, const std::string& threads, const std::string& folder,
            const std::string& zip) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execl(tool.c_str(), tool.c_str(), "-q", "-T", threads.c_str(), folder.c_str(), zip.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {took.count(), Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss,
          WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder of links to the count largest shared libraries.
std::string LargestLibraries(const fs::path& scratch, std::size_t count, const char* folderName) {
  std::vector<std::pair<std::uintmax_t, fs::path>> found;
  std::error_code error;
  for (const auto& item : fs::directory_iterator("/usr/lib/x86_64-linux-gnu", error)) {
    const std::string name = item.path().filename().string();
    if (name.find(".so") == std::string::npos || !item.is_regular_file(error)) continue;
    if (item.is_symlink(error)) continue;
    found.emplace_back(item.file_size(error), item.path());
  }
  std::sort(found.rbegin(), found.rend());
  const fs::path folder = scratch / folderName;
  fs::create_directories(folder);
  for (std::size_t i = 0; i < found.size() && i < count; ++i) {
    fs::create_symlink(found[i].second, folder / found[i].second.filename(), error);
  }
  return folder.string();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  std::string baseline;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
      rounds = std::max(1, std::atoi(argv[i] + 9));
    } else if (std::strncmp(argv[i], "--baseline=", 11) == 0) {
      baseline = argv[i] + 11;
    } else {
      folders.emplace_back(argv[i]);
    }
  }
  char pattern[] = "/tmp/zipfolder-threads-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path scratch = pattern;
  if (folders.empty()) {
    folders = {"/usr/include", LargestLibraries(scratch, 8, "libs"),
               LargestLibraries(scratch, 1, "largest")};
  }

  std::printf("%-34s %7s %7s %6s %7s %7s %6s %10s %10s %s%s\n", "tree", "T1 s", "T2 s", "T2/T1",
              "T1 cpu", "T2 cpu", "ratio", "T1 peak KB", "T2 peak KB", "same bytes",
              baseline.empty() ? "" : "  T1/base  T2/base");
  int failures = 0;
  for (const std::string& folder : folders) {
    // T1, T2, and the baseline's T1 and T2.
    Run best[4];
    for (Run& run : best) run = {1e300, 1e300, 0, true};
    bool same = true;
    const int runs = baseline.empty() ? 2 : 4;
    for (int round = 0; round < rounds; ++round) {
      for (int t = 0; t < runs; ++t) {
        const std::string zip = (scratch / ("out" + std::to_string(t + 1) + ".zip")).string();
        const Run run = RunTool(t >= 2 ? baseline : std::string(ZIPFOLDER_TOOL_PATH),
                                t % 2 == 1 ? "2" : "1", folder, zip);
        best[t].seconds = std::min(best[t].seconds, run.seconds);
        best[t].cpuSeconds = std::min(best[t].cpuSeconds, run.cpuSeconds);
        best[t].peakKilobytes = std::max(best[t].peakKilobytes, run.peakKilobytes);
        best[t].ok = best[t].ok && run.ok;
      }
      const std::string first = ReadAll((scratch / "out1.zip").string());
      for (int t = 1; t < runs; ++t) {
        same =
            same && first == ReadAll((scratch / ("out" + std::to_string(t + 1) + ".zip")).string());
      }
    }
    std::printf("%-34s %7.2f %7.2f %6.3f %7.2f %7.2f %6.3f %10ld %10ld %s", folder.c_str(),
                best[0].seconds, best[1].seconds, best[1].seconds / best[0].seconds,
                best[0].cpuSeconds, best[1].cpuSeconds, best[1].cpuSeconds / best[0].cpuSeconds,
                best[0].peakKilobytes, best[1].peakKilobytes, same ? "yes" : "NO");
    if (runs == 4) {
      std::printf("  %7.3f  %7.3f", best[0].seconds / best[2].seconds,
                  best[1].seconds / best[3].seconds);
    }
    std::printf("\n");
    if (!same || !best[0].ok || !best[1].ok || !best[2].ok || !best[3].ok) ++failures;
  }
  fs::remove_all(scratch);
  return failures == 0 ? 0 : 1;
}
