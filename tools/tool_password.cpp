// Where the tool's password comes from (see tool_password.h).
#include "tool_password.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool_options.h"
#include "tool_system.h"

namespace tool {
namespace {

// Longer lines are refused rather than cut: a password cut short would
// lock the archive with one its owner never typed.
constexpr std::size_t kPasswordCapacity = 1024;

char* AllocatePassword() { return static_cast<char*>(std::calloc(kPasswordCapacity, 1)); }

int AskTwice(char** password) {
  char* first = AllocatePassword();
  char* second = AllocatePassword();
  int status = kGoOn;
  if (first == nullptr || second == nullptr) {
    status = UsageError("out of memory%s", "");
  } else if (!ReadHiddenLine("Password: ", first, kPasswordCapacity) ||
             !ReadHiddenLine("Again: ", second, kPasswordCapacity)) {
    status = UsageError(
        "--encrypt asks for the password on a terminal, and there is none%s "
        "(or the line is too long); use --password-file or ZIPFOLDER_PASSWORD",
        "");
  } else if (std::strcmp(first, second) != 0) {
    status = UsageError("the two passwords differ%s", "");
  } else if (*first == 0) {
    status = UsageError("the password is empty%s", "");
  }
  ReleasePassword(second);
  if (status == kGoOn) {
    *password = first;
  } else {
    ReleasePassword(first);
  }
  return status;
}

int ReadFirstLine(const char* path, char** password) {
  std::FILE* file = OpenForReading(path);
  if (file == nullptr) return UsageError("cannot read the password file '%s'", path);
  char* line = AllocatePassword();
  const bool read = line != nullptr && std::fgets(line, kPasswordCapacity, file) != nullptr;
  std::fclose(file);
  std::size_t length = read ? std::strlen(line) : 0;
  const bool whole = read && (length + 1 < kPasswordCapacity || line[length - 1] == '\n');
  while (length != 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = 0;
  if (!read || !whole || length == 0) {
    ReleasePassword(line);
    return UsageError(read && !whole ? "the first line of '%s' is too long for a password"
                                     : "the password file '%s' has no password on its first line",
                      path);
  }
  *password = line;
  return kGoOn;
}

}  // namespace

int ObtainPassword(const PasswordSource& source, char** password) {
  *password = nullptr;
  if (source.ask && source.file != nullptr) {
    return UsageError("--encrypt and --password-file exclude each other%s", "");
  }
  if (source.ask) return AskTwice(password);
  if (source.file != nullptr) return ReadFirstLine(source.file, password);
  const char* fromEnvironment = std::getenv("ZIPFOLDER_PASSWORD");
  if (fromEnvironment == nullptr || *fromEnvironment == 0) return kGoOn;
  const std::size_t length = std::strlen(fromEnvironment);
  *password = static_cast<char*>(std::malloc(length + 1));
  if (*password == nullptr) return UsageError("out of memory%s", "");
  std::memcpy(*password, fromEnvironment, length + 1);
  return kGoOn;
}

void ReleasePassword(char* password) {
  if (password == nullptr) return;
  WipeBytes(password, std::strlen(password));
  std::free(password);
}

}  // namespace tool
