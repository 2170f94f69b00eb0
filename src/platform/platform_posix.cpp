// POSIX implementation of the platform operations.
//
// Sharing is emulated with advisory locks: the archive holds an exclusive
// lock from creation to close, and every source takes a shared one, so a
// second writer of the same archive fails and the walk can never read the
// archive it is writing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace zf {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;
// FileTimeToSystemTime refuses times from 2^63 ticks on; stay within the
// same range so both systems convert the same times.
constexpr std::int64_t kLastConvertibleSecond =
    INT64_MAX / kTicksPerSecond - kSecondsFrom1601To1970;

OsFileTime ToFileTime(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds > kLastConvertibleSecond) return INT64_MAX;
  if (seconds < -kSecondsFrom1601To1970 - INT64_MAX / kTicksPerSecond + 1) return INT64_MIN;
  return (seconds + kSecondsFrom1601To1970) * kTicksPerSecond + nanoseconds / 100;
}

int ToDescriptor(OsFile file) { return static_cast<int>(file); }

#if defined(O_NOATIME)
constexpr int kNoAccessTime = O_NOATIME;
#else
constexpr int kNoAccessTime = 0;
#endif

int OpenFile(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

struct OsFolderScan {
  DIR* folder;
};

OsFile OsCreateArchive(const char* path) {
  if (FaultDue(OsCall::kCreate, kNoFile)) return kNoFile;
  // Truncate only once the lock is held, so that a second writer leaves the
  // first one's archive untouched. Opening without blocking makes a FIFO
  // fail at once (or open and fail the regular-file check) instead of
  // waiting for a reader forever.
  const int fd = OpenFile(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return kNoFile;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
    close(fd);
    return kNoFile;
  }
  NoteArchive(fd);
  return fd;
}

OsFile OsOpenSource(const char* path) {
  if (FaultDue(OsCall::kOpen, kNoFile)) return kNoFile;
  // Decide on the kind before opening: opening a FIFO or a device can block
  // or have effects of its own.
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return kNoFile;
  // Reading a source leaves its access time alone where the system lets us
  // (files we own, or privileged): packing must not change what it packs,
  // and the access time goes into the next archive.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = OpenFile(path, kFlags | kNoAccessTime);
  if (fd < 0 && errno == EPERM && kNoAccessTime != 0) fd = OpenFile(path, kFlags);
  if (fd < 0) return kNoFile;
  // The path may have changed between the two looks.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flock(fd, LOCK_SH | LOCK_NB) != 0) {
    close(fd);
    return kNoFile;
  }
  return fd;
}

bool OsWrite(OsFile file, const void* data, std::uint32_t count, std::uint32_t* written) {
  if (FaultDue(OsCall::kWrite, file)) {
    *written = 0;
    return false;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(ToDescriptor(file), bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *written = done;
      return false;
    }
    done += static_cast<std::uint32_t>(n);
  }
  *written = done;
  return true;
}

bool OsRead(OsFile file, void* data, std::uint32_t count, std::uint32_t* got) {
  if (FaultDue(OsCall::kRead, file)) {
    *got = 0;
    return false;
  }
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::uint32_t done = 0;
  // Fill the request as far as the file goes: a short read happens only at
  // the end of the file.
  while (done < count) {
    ssize_t n = read(ToDescriptor(file), bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *got = done;
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  *got = done;
  return true;
}

bool OsSeek(OsFile file, std::uint32_t position) {
  if (FaultDue(OsCall::kSeek, file)) return false;
  return lseek(ToDescriptor(file), static_cast<off_t>(position), SEEK_SET) ==
         static_cast<off_t>(position);
}

bool OsSetEnd(OsFile file) {
  if (FaultDue(OsCall::kSetEnd, file)) return false;
  off_t here = lseek(ToDescriptor(file), 0, SEEK_CUR);
  return here >= 0 && ftruncate(ToDescriptor(file), here) == 0;
}

void OsClose(OsFile file) {
  if (file != kNoFile) close(ToDescriptor(file));
}

bool OsGetFacts(OsFile file, OsFileFacts* facts) {
  if (FaultDue(OsCall::kGetFacts, file)) return false;
  struct statx info;
  if (statx(ToDescriptor(file), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return false;
  }
  facts->size = info.stx_size;
  facts->attributes = kAttrArchive;
  if ((info.stx_mode & S_IWUSR) == 0) facts->attributes |= kAttrReadOnly;
  if (S_ISDIR(info.stx_mode)) facts->attributes |= kAttrDirectory;
  facts->lastWrite = ToFileTime(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
  facts->lastAccess = ToFileTime(info.stx_atime.tv_sec, info.stx_atime.tv_nsec);
  facts->creation = (info.stx_mask & STATX_BTIME) != 0
                        ? ToFileTime(info.stx_btime.tv_sec, info.stx_btime.tv_nsec)
                        : facts->lastWrite;
  return true;
}

bool OsTimeToCalendar(OsFileTime time, OsCalendar* calendar) {
  if (time < 0) return false;
  time_t seconds = static_cast<time_t>(time / kTicksPerSecond - kSecondsFrom1601To1970);
  struct tm fields;
  if (gmtime_r(&seconds, &fields) == nullptr || fields.tm_year + 1900 > 30827) return false;
  calendar->year = static_cast<std::uint16_t>(fields.tm_year + 1900);
  calendar->month = static_cast<std::uint16_t>(fields.tm_mon + 1);
  calendar->day = static_cast<std::uint16_t>(fields.tm_mday);
  calendar->hour = static_cast<std::uint16_t>(fields.tm_hour);
  calendar->minute = static_cast<std::uint16_t>(fields.tm_min);
  calendar->second = static_cast<std::uint16_t>(fields.tm_sec);
  return true;
}

OsFileTime OsLocalClock() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm fields;
  std::int64_t offset = localtime_r(&now.tv_sec, &fields) != nullptr ? fields.tm_gmtoff : 0;
  // Whole milliseconds, as the Windows clock gives them.
  return ToFileTime(now.tv_sec + offset, now.tv_nsec / 1'000'000 * 1'000'000);
}

OsFolderScan* OsOpenFolder(const char* folder) {
  if (FaultDue(OsCall::kOpenFolder, kNoFile)) return nullptr;
  auto* scan = static_cast<OsFolderScan*>(OsAllocate(sizeof(OsFolderScan)));
  if (scan == nullptr) return nullptr;
  scan->folder = opendir(folder);
  if (scan->folder == nullptr) {
    OsRelease(scan);
    return nullptr;
  }
  return scan;
}

const char* OsNextName(OsFolderScan* scan) {
  if (FaultDue(OsCall::kNextName, kNoFile)) return nullptr;
  struct dirent* entry = readdir(scan->folder);
  return entry != nullptr ? entry->d_name : nullptr;
}

void OsCloseFolder(OsFolderScan* scan) {
  if (scan == nullptr) return;
  closedir(scan->folder);
  OsRelease(scan);
}

bool OsIsFolder(const char* path) {
  if (FaultDue(OsCall::kIsFolder, kNoFile)) return false;
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool OsGetFolderId(const char* path, OsFolderId* id) {
  if (FaultDue(OsCall::kFolderId, kNoFile)) return false;
  struct stat info;
  if (stat(path, &info) != 0) return false;
  id->volume = static_cast<std::uint64_t>(info.st_dev);
  id->index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

void* OsAllocate(std::size_t bytes) {
  return FaultDue(OsCall::kAllocate, kNoFile) ? nullptr : std::malloc(bytes);
}

void OsRelease(void* block) { std::free(block); }

}  // namespace zf
