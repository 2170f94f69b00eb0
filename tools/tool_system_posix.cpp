// The tool's own system needs on POSIX systems (see tool_system.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
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

bool ReadHiddenLine(const char* prompt, char* line, std::size_t capacity) {
  const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return false;
  struct termios saved;
  bool ok = tcgetattr(terminal, &saved) == 0;
  struct termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  // Echo goes off before the prompt shows, so that nothing typed after it
  // is shown or thrown away.
  ok = ok && tcsetattr(terminal, TCSAFLUSH, &quiet) == 0 &&
       write(terminal, prompt, std::strlen(prompt)) >= 0;
  std::size_t length = 0;
  bool ended = false;
  while (ok && !ended) {
    char byte = 0;
    const ssize_t got = read(terminal, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (byte == '\n' || byte == '\r') {
      ended = true;
    } else if (length + 1 < capacity) {
      line[length++] = byte;
    } else {
      ok = false;
    }
  }
  if (capacity != 0) line[length < capacity ? length : capacity - 1] = 0;
  tcsetattr(terminal, TCSAFLUSH, &saved);
  close(terminal);
  return ok && ended;
}

void WipeBytes(void* bytes, std::size_t count) {
  volatile auto* at = static_cast<volatile unsigned char*>(bytes);
  for (std::size_t i = 0; i < count; ++i) at[i] = 0;
}

void ErrorText(int error, char* text, std::size_t capacity) {
  std::snprintf(text, capacity, "%s", std::strerror(error));
  if (text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') text[0] += 'a' - 'A';
}

}  // namespace tool
