// Win32 implementation of the platform operations, in the ANSI code page as
// the exported function takes its paths. This is the only file of the
// library that includes <windows.h>; every name it defines starts with "Os",
// so none collides with the header's macros (CreateFile, ReadFile, ...).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: shlwapi.h relies on its types.
#include <shlwapi.h>

#include <cstring>

#include "platform/platform.h"

namespace zf {
namespace {

HANDLE ToHandle(OsFile file) { return reinterpret_cast<HANDLE>(file); }

OsFile FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<OsFile>(handle);
}

OsFileTime FromFileTime(const FILETIME& time) {
  return static_cast<OsFileTime>(static_cast<std::uint64_t>(time.dwHighDateTime) << 32 |
                                 time.dwLowDateTime);
}

FILETIME ToFileTime(OsFileTime time) {
  const auto ticks = static_cast<std::uint64_t>(time);
  FILETIME result;
  result.dwLowDateTime = static_cast<DWORD>(ticks);
  result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return result;
}

}  // namespace

// The find record is large (over 300 bytes) and must stay put while the walk
// holds names from it, so it lives in its own block, not on the stack.
struct OsFolderScan {
  HANDLE find;
  WIN32_FIND_DATAA data;
  bool firstPending;  // FindFirstFileA already delivered a name not yet handed out
};

OsFile OsCreateArchive(const char* path) {
  // No sharing: a second writer of the same archive fails, and the walk can
  // never open the archive it is writing as one of its sources.
  return FromHandle(
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

OsFile OsOpenSource(const char* path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder fails to open, which is what
  // keeps folders out of the archive. A file someone holds open for writing
  // without read sharing fails too and is left out.
  return FromHandle(
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

bool OsWrite(OsFile file, const void* data, std::uint32_t count, std::uint32_t* written) {
  DWORD done = 0;
  const BOOL ok = WriteFile(ToHandle(file), data, count, &done, nullptr);
  *written = done;
  return ok != FALSE;
}

bool OsRead(OsFile file, void* data, std::uint32_t count, std::uint32_t* got) {
  // Fill the request as far as the file goes, as the POSIX layer does, so a
  // short read means the end of the file on both systems.
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (ReadFile(ToHandle(file), bytes + done, count - done, &n, nullptr) == FALSE) {
      *got = done;
      return false;
    }
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return true;
}

bool OsSeek(OsFile file, std::uint32_t position) {
  // With the high part given, the distance is 64-bit, so positions from 2 GiB
  // up are not taken for negative ones.
  LONG high = 0;
  const DWORD low = SetFilePointer(ToHandle(file), static_cast<LONG>(position), &high, FILE_BEGIN);
  // 0xFFFFFFFF is also a valid low part; only the last error tells.
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  return high == 0 && low == position;
}

bool OsSetEnd(OsFile file) { return SetEndOfFile(ToHandle(file)) != FALSE; }

void OsClose(OsFile file) {
  if (file != kNoFile) CloseHandle(ToHandle(file));
}

bool OsGetFacts(OsFile file, OsFileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(ToHandle(file), &info) == FALSE) return false;
  DWORD high = 0;
  const DWORD low = GetFileSize(ToHandle(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  facts->size = static_cast<std::uint64_t>(high) << 32 | low;
  facts->attributes = info.dwFileAttributes;
  facts->lastWrite = FromFileTime(info.ftLastWriteTime);
  facts->lastAccess = FromFileTime(info.ftLastAccessTime);
  facts->creation = FromFileTime(info.ftCreationTime);
  return true;
}

bool OsTimeToCalendar(OsFileTime time, OsCalendar* calendar) {
  if (time < 0) return false;
  const FILETIME fileTime = ToFileTime(time);
  SYSTEMTIME fields;
  if (FileTimeToSystemTime(&fileTime, &fields) == FALSE) return false;
  calendar->year = fields.wYear;
  calendar->month = fields.wMonth;
  calendar->day = fields.wDay;
  calendar->hour = fields.wHour;
  calendar->minute = fields.wMinute;
  calendar->second = fields.wSecond;
  return true;
}

OsFileTime OsLocalClock() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME result;
  // The current time always converts; 1601 stands in should it ever not.
  if (SystemTimeToFileTime(&now, &result) == FALSE) return 0;
  return FromFileTime(result);
}

OsFolderScan* OsOpenFolder(const char* folder) {
  static constexpr char kEverything[] = "\\*.*";
  const std::size_t length = std::strlen(folder);
  // The pattern, its terminating zero included, must fit the path bound.
  if (length + sizeof(kEverything) > kMaxPathBytes) return nullptr;
  char pattern[kMaxPathBytes];
  std::memcpy(pattern, folder, length);
  std::memcpy(pattern + length, kEverything, sizeof(kEverything));

  auto* scan = static_cast<OsFolderScan*>(OsAllocate(sizeof(OsFolderScan)));
  if (scan == nullptr) return nullptr;
  scan->find = FindFirstFileA(pattern, &scan->data);
  if (scan->find == INVALID_HANDLE_VALUE) {
    OsRelease(scan);
    return nullptr;
  }
  scan->firstPending = true;
  return scan;
}

const char* OsNextName(OsFolderScan* scan) {
  if (scan->firstPending) {
    scan->firstPending = false;
    return scan->data.cFileName;
  }
  // Zero means no more names or any error; the listing ends either way.
  if (FindNextFileA(scan->find, &scan->data) == FALSE) return nullptr;
  return scan->data.cFileName;
}

void OsCloseFolder(OsFolderScan* scan) {
  if (scan == nullptr) return;
  FindClose(scan->find);
  OsRelease(scan);
}

bool OsIsFolder(const char* path) { return PathIsDirectoryA(path) != FALSE; }

bool OsGetFolderId(const char* path, OsFolderId* id) {
  // BACKUP_SEMANTICS is what lets CreateFileA open a folder; links are
  // followed, so a junction back to an ancestor shows the ancestor's identity.
  const HANDLE folder = CreateFileA(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(folder, &info);
  CloseHandle(folder);
  if (ok == FALSE) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  // A file system that gives no index would make every folder look like its
  // own ancestor; say the identity is unknown instead.
  return id->index != 0;
}

void* OsAllocate(std::size_t bytes) { return GlobalAlloc(GMEM_FIXED, bytes); }

void OsRelease(void* block) {
  if (block != nullptr) GlobalFree(block);
}

OsFile OsCreateScratch(const char* path) {
  return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

namespace {

OVERLAPPED At(std::uint64_t position) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(position);
  at.OffsetHigh = static_cast<DWORD>(position >> 32);
  return at;
}

}  // namespace

bool OsWriteAt(OsFile file, std::uint64_t position, const void* data, std::uint32_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    OVERLAPPED at = At(position + done);
    DWORD n = 0;
    if (!WriteFile(ToHandle(file), bytes + done, count - done, &n, &at) || n == 0) return false;
    done += n;
  }
  return true;
}

bool OsReadAt(OsFile file, std::uint64_t position, void* data, std::uint32_t count,
              std::uint32_t* got) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    OVERLAPPED at = At(position + done);
    DWORD n = 0;
    if (!ReadFile(ToHandle(file), bytes + done, count - done, &n, &at)) {
      *got = done;
      return GetLastError() == ERROR_HANDLE_EOF;
    }
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return true;
}

struct OsThread {
  HANDLE handle;
  void (*run)(void* context);
  void* context;
};

struct OsMonitor {
  SRWLOCK lock;
  CONDITION_VARIABLE condition;
};

namespace {

DWORD WINAPI RunThread(LPVOID thread) {
  auto* started = static_cast<OsThread*>(thread);
  started->run(started->context);
  return 0;
}

}  // namespace

OsThread* OsStartThread(void (*run)(void* context), void* context) {
  auto* thread = static_cast<OsThread*>(OsAllocate(sizeof(OsThread)));
  if (thread == nullptr) return nullptr;
  thread->run = run;
  thread->context = context;
  // The thread calls into msvcrt only through functions that need no
  // per-thread set-up, so CreateThread serves.
  thread->handle = CreateThread(nullptr, 0, RunThread, thread, 0, nullptr);
  if (thread->handle == nullptr) {
    OsRelease(thread);
    return nullptr;
  }
  return thread;
}

void OsJoinThread(OsThread* thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  OsRelease(thread);
}

std::uint32_t OsProcessorCount() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  std::uint32_t count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    for (; process != 0; process &= process - 1) ++count;
  }
  return count > 0 ? count : 1;
}

OsMonitor* OsCreateMonitor() {
  auto* monitor = static_cast<OsMonitor*>(OsAllocate(sizeof(OsMonitor)));
  if (monitor == nullptr) return nullptr;
  InitializeSRWLock(&monitor->lock);
  InitializeConditionVariable(&monitor->condition);
  return monitor;
}

void OsDestroyMonitor(OsMonitor* monitor) { OsRelease(monitor); }

void OsEnterMonitor(OsMonitor* monitor) { AcquireSRWLockExclusive(&monitor->lock); }

void OsLeaveMonitor(OsMonitor* monitor) { ReleaseSRWLockExclusive(&monitor->lock); }

void OsWaitMonitor(OsMonitor* monitor) {
  SleepConditionVariableSRW(&monitor->condition, &monitor->lock, INFINITE, 0);
}

void OsWakeMonitor(OsMonitor* monitor) { WakeAllConditionVariable(&monitor->condition); }

}  // namespace zf
