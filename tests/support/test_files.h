// Scratch folders, files and commands for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zft {

// A fresh folder below the system's temporary folder, removed on destruction.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string Path(const std::string& relative = "") const;
  std::string root;
};

void WriteFile(const std::string& path, const std::string& bytes);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadFile(const std::string& path);
void MakeDirs(const std::string& path);
// Sets the last write (and access) time, in Unix seconds.
void SetModifyTime(const std::string& path, std::int64_t unixSeconds);
bool Exists(const std::string& path);

// Sanitizer builds run the same tests several times slower. The heaviest
// tests keep every kind of case there but fewer copies of each: those that
// only repeat work on one thread, which a sanitizer sees no differently, or
// thousands of files where hundreds show the same fault.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizedBuild = true;
#elif defined(__has_feature)
inline constexpr bool kThreadSanitizedBuild = __has_feature(thread_sanitizer);
#else
inline constexpr bool kThreadSanitizedBuild = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kInstrumentedBuild = true;
#elif defined(__has_feature)
inline constexpr bool kInstrumentedBuild =
    kThreadSanitizedBuild || __has_feature(address_sanitizer);
#else
inline constexpr bool kInstrumentedBuild = kThreadSanitizedBuild;
#endif

// While it lives, a write that would make a file of this process longer
// than bytes fails (EFBIG) as on a full disk, instead of raising SIGXFSZ.
// A limit of kNoFileSizeLimit, or one above the present limit, changes nothing.
inline constexpr std::uint64_t kNoFileSizeLimit = ~std::uint64_t{0};
struct FileSizeLimit {
  explicit FileSizeLimit(std::uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  std::uint64_t saved;
  void (*savedHandler)(int);
};

struct CommandResult {
  int status;          // exit code, or -1 when it did not exit normally
  std::string output;  // standard output and standard error
};
// Runs a shell command line and collects what it prints.
CommandResult RunCommand(const std::string& command);
#if defined(ZIPFOLDER_TOOL_PATH)
// The command line that runs the tool of this build with arguments.
inline std::string Tool(const std::string& arguments) {
  return std::string(ZIPFOLDER_TOOL_PATH) + " " + arguments;
}
#endif
std::string Quote(const std::string& text);

// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed);

}  // namespace zft
