#include "support/test_files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zft {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zipfolder-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root = pattern;
}

ScratchDir::~ScratchDir() {
  // rm copes with trees deeper than a path can name.
  RunCommand("chmod -R u+rwx " + Quote(root) + " 2>/dev/null; rm -rf " + Quote(root));
}

std::string ScratchDir::Path(const std::string& relative) const {
  return relative.empty() ? root : root + "/" + relative;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }

void SetModifyTime(const std::string& path, std::int64_t unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(unixSeconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    throw std::runtime_error("cannot set the time of " + path);
  }
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  saved = limit.rlim_cur;
  savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  if (static_cast<rlim_t>(bytes) < limit.rlim_cur) limit.rlim_cur = static_cast<rlim_t>(bytes);
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("cannot limit file sizes");
}

FileSizeLimit::~FileSizeLimit() {
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(saved);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, savedHandler);
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result{-1, {}};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
  const int status = pclose(pipe);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(count);
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& b : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

}  // namespace zft
