// POSIX implementation of the platform operations.
//
// Sharing is emulated with advisory locks: the archive holds an exclusive
// lock from creation to close, and every source takes a shared one, so a
// second writer of the same archive fails and the walk can never read the
// archive it is writing.
// A 32-bit build keeps 64-bit file positions all the same.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// strerror_r comes in two kinds: the XSI one fills the buffer and returns
// 0, the GNU one returns the text, which may live elsewhere.
[[maybe_unused]] const char* ErrorMessage(int result, const char* buffer) {
  return result == 0 ? buffer : "";
}
[[maybe_unused]] const char* ErrorMessage(const char* result, const char*) { return result; }

#if defined(O_NOATIME)
constexpr int kNoAccessTime = O_NOATIME;
#else
constexpr int kNoAccessTime = 0;
#endif

// open, retried when a signal interrupts it.
int OpenFile(const char* path, int flags, mode_t mode = 0666) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

struct OsFolderScan {
  DIR* folder;
  bool failed;
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

OsFile OsOpenSource(const char* path, OsFolderId* id) {
  if (id != nullptr) *id = OsFolderId{0, 0};
  if (FaultDue(OsCall::kOpen, kNoFile)) return kNoFile;
  // Decide on the kind before opening: opening a FIFO or a device can block
  // or have effects of its own.
  struct stat info;
  if (stat(path, &info) != 0) return kNoFile;
  if (!S_ISREG(info.st_mode)) {
    errno = 0;  // not a failure of the system: the file is of another kind
    return kNoFile;
  }
  // Reading a source leaves its access time alone where the system lets us
  // (files we own, or privileged): packing must not change what it packs,
  // and the access time goes into the next archive.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = OpenFile(path, kFlags | kNoAccessTime);
  if (fd < 0 && errno == EPERM && kNoAccessTime != 0) fd = OpenFile(path, kFlags);
  if (fd < 0) return kNoFile;
  // The path may have changed between the two looks.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return kNoFile;
  }
  if (id != nullptr) *id = OsFolderId{info.st_dev, info.st_ino};
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return kNoFile;
  }
  return fd;
}

bool OsGetFileId(OsFile file, OsFolderId* id) {
  struct stat info;
  if (fstat(ToDescriptor(file), &info) != 0) return false;
  *id = OsFolderId{info.st_dev, info.st_ino};
  return true;
}

namespace {

// One loop for the plain and the positioned calls: at is -1 for the file
// position.
bool WriteWhole(int fd, const void* data, std::uint32_t count, std::int64_t at,
                std::uint32_t* written) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    ssize_t n = at < 0 ? write(fd, bytes + done, count - done)
                       : pwrite(fd, bytes + done, count - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  *written = done;
  return done == count;
}

// Fills the request as far as the file goes: a short read happens only at
// the end of the file.
bool ReadWhole(int fd, void* data, std::uint32_t count, std::int64_t at, std::uint32_t* got) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::uint32_t done = 0;
  bool ok = true;
  while (done < count) {
    ssize_t n = at < 0 ? read(fd, bytes + done, count - done)
                       : pread(fd, bytes + done, count - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    done += static_cast<std::uint32_t>(n);
  }
  *got = done;
  return ok;
}

}  // namespace

bool OsWrite(OsFile file, const void* data, std::uint32_t count, std::uint32_t* written) {
  if (FaultDue(OsCall::kWrite, file)) {
    *written = 0;
    return false;
  }
  return WriteWhole(ToDescriptor(file), data, count, -1, written);
}

bool OsRead(OsFile file, void* data, std::uint32_t count, std::uint32_t* got) {
  if (FaultDue(OsCall::kRead, file)) {
    *got = 0;
    return false;
  }
  return ReadWhole(ToDescriptor(file), data, count, -1, got);
}

OsFile OsCreateScratch(const char* path) {
  if (FaultDue(OsCall::kScratch, kNoFile)) return kNoFile;
  const int fd = OpenFile(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return kNoFile;
  // Out of the folder at once: nothing stays behind, however the process ends.
  unlink(path);
  return fd;
}

bool OsWriteAt(OsFile file, std::uint64_t position, const void* data, std::uint32_t count) {
  if (FaultDue(OsCall::kWriteAt, file)) return false;
  std::uint32_t written = 0;
  return WriteWhole(ToDescriptor(file), data, count, static_cast<std::int64_t>(position), &written);
}

bool OsReadAt(OsFile file, std::uint64_t position, void* data, std::uint32_t count,
              std::uint32_t* got) {
  if (FaultDue(OsCall::kReadAt, file)) {
    *got = 0;
    return false;
  }
  return ReadWhole(ToDescriptor(file), data, count, static_cast<std::int64_t>(position), got);
}

OsFile OsReopenForReadsAt(OsFile source) {
  if (FaultDue(OsCall::kOpen, source)) return kNoFile;
  // pread leaves the shared position alone, so a duplicate serves.
  const int fd = fcntl(ToDescriptor(source), F_DUPFD_CLOEXEC, 0);
  return fd < 0 ? kNoFile : static_cast<OsFile>(fd);
}

bool OsDiscardStart(OsFile file, std::uint64_t bytes) {
#if defined(FALLOC_FL_PUNCH_HOLE)
  return fallocate(ToDescriptor(file), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                   static_cast<off_t>(bytes)) == 0;
#else
  (void)file;
  (void)bytes;
  return false;
#endif
}

bool OsSeek(OsFile file, std::uint64_t position) {
  static_assert(sizeof(off_t) == 8, "positions past 4 GiB need a 64-bit off_t");
  if (FaultDue(OsCall::kSeek, file)) return false;
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
  const auto target = static_cast<off_t>(position);
  return lseek(ToDescriptor(file), target, SEEK_SET) == target;
}

bool OsSetEnd(OsFile file) {
  if (FaultDue(OsCall::kSetEnd, file)) return false;
  off_t here = lseek(ToDescriptor(file), 0, SEEK_CUR);
  return here >= 0 && ftruncate(ToDescriptor(file), here) == 0;
}

bool OsClose(OsFile file) {
  if (file == kNoFile) return true;
  // Linux releases the descriptor even when close is interrupted; an
  // interruption is no failure of the file.
  const bool closed = close(ToDescriptor(file)) == 0 || errno == EINTR;
  if (FaultDue(OsCall::kClose, file)) return false;
  return closed;
}

namespace {

// What statx tells of a file, as the Windows layer would have it.
bool GetFactsAt(int folder, const char* path, int flags, OsFileFacts* facts) {
  struct statx info;
  if (statx(folder, path, flags, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return false;
  facts->size = info.stx_size;
  facts->attributes = kAttrArchive;
  facts->unixMode = info.stx_mode;
  if ((info.stx_mode & S_IWUSR) == 0) facts->attributes |= kAttrReadOnly;
  if (S_ISDIR(info.stx_mode)) facts->attributes |= kAttrDirectory;
  facts->lastWrite = ToFileTime(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
  facts->lastAccess = ToFileTime(info.stx_atime.tv_sec, info.stx_atime.tv_nsec);
  facts->creation = (info.stx_mask & STATX_BTIME) != 0
                        ? ToFileTime(info.stx_btime.tv_sec, info.stx_btime.tv_nsec)
                        : facts->lastWrite;
  return true;
}

}  // namespace

bool OsGetFacts(OsFile file, OsFileFacts* facts) {
  if (FaultDue(OsCall::kGetFacts, file)) return false;
  return GetFactsAt(ToDescriptor(file), "", AT_EMPTY_PATH, facts);
}

bool OsGetPathFacts(const char* path, bool followLinks, OsFileFacts* facts) {
  return GetFactsAt(AT_FDCWD, path, followLinks ? 0 : AT_SYMLINK_NOFOLLOW, facts);
}

bool OsIsLink(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
}

bool OsReadLink(const char* path, char* target, std::size_t capacity, std::size_t* length) {
  const ssize_t got = readlink(path, target, capacity);
  if (got < 0) return false;
  if (static_cast<std::size_t>(got) >= capacity) {
    errno = ENAMETOOLONG;
    return false;
  }
  target[got] = 0;
  *length = static_cast<std::size_t>(got);
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
  scan->failed = false;
  if (scan->folder == nullptr) {
    OsRelease(scan);
    return nullptr;
  }
  return scan;
}

const char* OsNextName(OsFolderScan* scan) {
  if (FaultDue(OsCall::kNextName, kNoFile)) {
    scan->failed = true;
    return nullptr;
  }
  // readdir leaves errno alone at the end and sets it on a failure.
  errno = 0;
  struct dirent* entry = readdir(scan->folder);
  if (entry == nullptr && errno != 0) scan->failed = true;
  return entry != nullptr ? entry->d_name : nullptr;
}

bool OsListingFailed(const OsFolderScan* scan) { return scan->failed; }

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

std::int32_t OsLastError() { return errno; }

void OsErrorText(std::int32_t code, char* text, std::size_t capacity) {
  if (capacity == 0) return;
  text[0] = 0;
  const char* message = ErrorMessage(strerror_r(code, text, capacity), text);
  if (message != text) {
    std::strncpy(text, message, capacity - 1);
    text[capacity - 1] = 0;
  }
}

bool OsIsDiskFull(std::int32_t code) { return code == ENOSPC || code == EDQUOT; }

bool OsIsShortage(std::int32_t code) {
  return code == EMFILE || code == ENFILE || code == ENOMEM || code == ENOBUFS;
}

bool OsIsNameTaken(std::int32_t code) { return code == EEXIST; }

namespace {

// "/proc/self/fd/N": the file behind descriptor N, which linkat follows.
void DescriptorPath(int fd, char (&path)[32]) {
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

}  // namespace

OsFile OsCreateNamelessArchive(const char* folder) {
  if (FaultDue(OsCall::kNameless, kNoFile)) return kNoFile;
#if defined(O_TMPFILE)
  const int fd = OpenFile(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC);
  if (fd < 0) return kNoFile;
  // Naming it takes /proc (or a privilege): without it, a named file serves.
  char path[32];
  DescriptorPath(fd, path);
  struct stat info;
  if (stat(path, &info) != 0) {
    close(fd);
    return kNoFile;
  }
  NoteArchive(fd);
  return fd;
#else
  (void)folder;
  errno = EOPNOTSUPP;
  return kNoFile;
#endif
}

bool OsNameArchive(OsFile file, const char* path) {
  if (FaultDue(OsCall::kName, file)) {
    errno = EIO;
    return false;
  }
  char self[32];
  DescriptorPath(ToDescriptor(file), self);
  return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

OsFile OsCreateNewArchive(const char* path) {
  if (FaultDue(OsCall::kCreate, kNoFile)) {
    errno = EIO;
    return kNoFile;
  }
  // O_EXCL refuses a link at the path too, so nothing is written through one.
  const int fd = OpenFile(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return kNoFile;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    unlink(path);
    errno = error;
    return kNoFile;
  }
  NoteArchive(fd);
  return fd;
}

bool OsIsFileAt(OsFile file, const char* path) {
  struct stat held;
  struct stat named;
  if (fstat(ToDescriptor(file), &held) != 0 || lstat(path, &named) != 0) return false;
  if (held.st_dev == named.st_dev && held.st_ino == named.st_ino) return true;
  errno = EEXIST;
  return false;
}

bool OsCopyPermissions(const char* path, OsFile file) {
  struct stat info;
  if (stat(path, &info) != 0) return true;
  // The permission bits only: a set-user-ID archive would make no sense.
  return fchmod(ToDescriptor(file), info.st_mode & 0777) == 0;
}

char* OsResolveLinks(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length >= kMaxPathBytes) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  auto* resolved = static_cast<char*>(OsAllocate(2 * kMaxPathBytes));
  if (resolved == nullptr) return nullptr;
  char* target = resolved + kMaxPathBytes;
  std::memcpy(resolved, path, length + 1);
  // As many links as the system follows in one path.
  for (int links = 0; links < 40; ++links) {
    const ssize_t got = readlink(resolved, target, kMaxPathBytes - 1);
    // Not a link, or nothing there: the path is where the file goes.
    if (got < 0) return resolved;
    target[got] = 0;
    // A relative target is read from the link's folder.
    char* name = std::strrchr(resolved, '/');
    const std::size_t kept = target[0] == '/' || name == nullptr ? 0 : name + 1 - resolved;
    if (kept + static_cast<std::size_t>(got) >= kMaxPathBytes) break;
    std::memmove(resolved + kept, target, static_cast<std::size_t>(got) + 1);
  }
  OsRelease(resolved);
  errno = ELOOP;
  return nullptr;
}

std::int32_t OsFolderError() { return EISDIR; }

bool OsClaimExisting(const char* path, OsFile* held) {
  *held = kNoFile;
  const int fd = OpenFile(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  // A file that cannot be opened has no writer of ours to protect.
  if (fd < 0) return true;
  // A FIFO or a device at the path is no archive to replace: renaming over
  // it would take the node away from whoever uses it.
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  *held = fd;
  return true;
}

bool OsRenameFile(const char* from, const char* to) {
  if (FaultDue(OsCall::kRename, kNoFile)) return false;
  return rename(from, to) == 0;
}

bool OsRemoveFile(const char* path) { return unlink(path) == 0; }

bool OsErrorStreamIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool OsIsStream(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode));
}

OsFile OsOpenStream(const char* path) {
  if (FaultDue(OsCall::kCreate, kNoFile)) return kNoFile;
  // Neither created nor truncated: only what is a stream when opened is kept.
  const int fd = OpenFile(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return kNoFile;
  struct stat info;
  if (fstat(fd, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode))) {
    close(fd);
    errno = EINVAL;
    return kNoFile;
  }
  return fd;
}

OsFile OsStandardOutput() { return STDOUT_FILENO; }

bool OsStandardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

bool OsOpenStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number, which is fd: the ones below it are open.
    const int opened = OpenFile("/dev/null", O_RDWR | O_NOCTTY);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

std::uint64_t OsMonotonicNanoseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

struct OsThread {
  pthread_t thread;
  void (*run)(void* context);
  void* context;
};

struct OsMonitor {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
};

namespace {

void* RunThread(void* thread) {
  auto* started = static_cast<OsThread*>(thread);
  started->run(started->context);
  return nullptr;
}

}  // namespace

OsThread* OsStartThread(void (*run)(void* context), void* context) {
  if (FaultDue(OsCall::kStartThread, kNoFile)) return nullptr;
  auto* thread = static_cast<OsThread*>(OsAllocate(sizeof(OsThread)));
  if (thread == nullptr) return nullptr;
  thread->run = run;
  thread->context = context;
  // The threads keep their big state on the heap; the default stack of
  // several MiB would take address space from it, and stay taken in the
  // C library's cache of stacks after the thread ends.
  constexpr std::size_t kStackBytes = 512u << 10;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    OsRelease(thread);
    return nullptr;
  }
  pthread_attr_setstacksize(&attributes, kStackBytes);
  const int started = pthread_create(&thread->thread, &attributes, RunThread, thread);
  pthread_attr_destroy(&attributes);
  if (started != 0) {
    OsRelease(thread);
    return nullptr;
  }
  return thread;
}

void OsJoinThread(OsThread* thread) {
  pthread_join(thread->thread, nullptr);
  OsRelease(thread);
}

std::uint32_t OsProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<std::uint32_t>(CPU_COUNT(&set));
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::uint32_t>(online) : 1;
}

OsMonitor* OsCreateMonitor() {
  auto* monitor = static_cast<OsMonitor*>(OsAllocate(sizeof(OsMonitor)));
  if (monitor == nullptr) return nullptr;
  if (pthread_mutex_init(&monitor->mutex, nullptr) != 0) {
    OsRelease(monitor);
    return nullptr;
  }
  if (pthread_cond_init(&monitor->condition, nullptr) != 0) {
    pthread_mutex_destroy(&monitor->mutex);
    OsRelease(monitor);
    return nullptr;
  }
  return monitor;
}

void OsDestroyMonitor(OsMonitor* monitor) {
  if (monitor == nullptr) return;
  pthread_cond_destroy(&monitor->condition);
  pthread_mutex_destroy(&monitor->mutex);
  OsRelease(monitor);
}

void OsEnterMonitor(OsMonitor* monitor) { pthread_mutex_lock(&monitor->mutex); }

void OsLeaveMonitor(OsMonitor* monitor) { pthread_mutex_unlock(&monitor->mutex); }

void OsWaitMonitor(OsMonitor* monitor) { pthread_cond_wait(&monitor->condition, &monitor->mutex); }

void OsWakeMonitor(OsMonitor* monitor) { pthread_cond_broadcast(&monitor->condition); }

}  // namespace zf
