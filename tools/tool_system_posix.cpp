// The tool's own system needs on POSIX systems (see tool_system.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "tool_system.h"

namespace tool {

bool OpenStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number, which is fd: the ones below it are open.
    const int opened = open("/dev/null", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

void SetBinaryOutput() {}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool IsFolder(const char* path) {
  struct stat facts;
  return stat(path, &facts) == 0 && S_ISDIR(facts.st_mode);
}

bool IsStream(const char* path) {
  struct stat facts;
  return stat(path, &facts) == 0 && (S_ISFIFO(facts.st_mode) || S_ISCHR(facts.st_mode));
}

std::FILE* OpenForReading(const char* path) { return std::fopen(path, "rb"); }

void ErrorText(int error, char* text, std::size_t capacity) {
  std::snprintf(text, capacity, "%s", std::strerror(error));
  if (text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') text[0] += 'a' - 'A';
}

}  // namespace tool
