// Win32 implementation of the platform operations. The core speaks UTF-8 on
// every system; this layer hands the system each path in its own form
// (UTF-16, absolute, with the prefix that lifts the 260-character limit) and
// turns each listed name back into UTF-8, so that no name is lost to the
// ANSI code page and no file to the length of its path. This is the only
// file of the library that includes <windows.h>; every name it defines
// starts with "Os", so none collides with the header's macros (CreateFile,
// ReadFile, ...).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>

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

// The longest path the system takes, in UTF-16 units, zero included.
constexpr std::size_t kMaxSystemPath = 32767;

template <std::size_t N>
bool StartsWith(const wchar_t* text, const wchar_t (&prefix)[N]) {
  return std::wcsncmp(text, prefix, N - 1) == 0;
}

wchar_t* AllocateWide(std::size_t units) {
  return static_cast<wchar_t*>(OsAllocate(units * sizeof(wchar_t)));
}

// UTF-16 to UTF-8, counting only when out is null. A lone surrogate becomes
// its three-byte form (ED A0..BF xx), which is not UTF-8: it survives the
// walk as a name, but ToSystemPath refuses it, so such a file is one that
// cannot be opened, and no other file's name is ever mistaken for it.
std::size_t EncodeUtf8(const wchar_t* text, char* out) {
  std::size_t bytes = 0;
  auto put = [&](std::uint32_t byte) {
    if (out != nullptr) out[bytes] = static_cast<char>(byte);
    ++bytes;
  };
  for (const wchar_t* p = text; *p != 0; ++p) {
    std::uint32_t value = static_cast<std::uint16_t>(*p);
    const auto next = static_cast<std::uint16_t>(p[1]);
    if (value >= 0xD800 && value <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      value = 0x10000 + ((value - 0xD800) << 10) + (next - 0xDC00);
      ++p;
    }
    if (value < 0x80) {
      put(value);
    } else if (value < 0x800) {
      put(0xC0 | value >> 6);
      put(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
      put(0xE0 | value >> 12);
      put(0x80 | (value >> 6 & 0x3F));
      put(0x80 | (value & 0x3F));
    } else {
      put(0xF0 | value >> 18);
      put(0x80 | (value >> 12 & 0x3F));
      put(0x80 | (value >> 6 & 0x3F));
      put(0x80 | (value & 0x3F));
    }
  }
  put(0);
  return bytes;
}

// A lead byte ED followed by A0..BF is a surrogate written as if it were a
// character; the system's converter lets some versions of it through.
bool HasEncodedSurrogate(const char* text) {
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (p[0] == 0xED && p[1] >= 0xA0) return true;
  }
  return false;
}

// The path the caller gave, converted from UTF-8, with suffix behind it.
wchar_t* WidenWithSuffix(const char* path, const wchar_t* suffix) {
  if (HasEncodedSurrogate(path)) return nullptr;
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  const std::size_t suffixUnits = std::wcslen(suffix);
  wchar_t* wide = AllocateWide(static_cast<std::size_t>(units) + suffixUnits);
  if (wide == nullptr) return nullptr;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, units) != units) {
    OsRelease(wide);
    return nullptr;
  }
  std::wmemcpy(wide + units - 1, suffix, suffixUnits + 1);
  return wide;
}

// A path as the system takes it whatever its length: UTF-16, made absolute
// by the system's own rules (relative and drive-relative forms, either
// separator, "." and ".." and doubled separators folded), then given the
// prefix that turns the 260-character limit off, \\?\UNC\ for a network path.
// A path given with that prefix already is taken literally, as the system
// does. One block from OsAllocate; null when the path is no UTF-8 or longer
// than the system allows.
wchar_t* ToSystemPath(const char* path, const wchar_t* suffix = L"") {
  static constexpr wchar_t kLiteral[] = L"\\\\?\\";
  static constexpr wchar_t kDevice[] = L"\\\\.\\";
  static constexpr wchar_t kNetwork[] = L"\\\\?\\UNC";  // its separator comes from the path
  wchar_t* given = WidenWithSuffix(path, suffix);
  if (given == nullptr || StartsWith(given, kLiteral)) return given;
  const DWORD needed = GetFullPathNameW(given, 0, nullptr, nullptr);
  // The prefix is longest for a network path, where it replaces the leading
  // pair of separators.
  constexpr std::size_t kRoom = std::size(kNetwork) - 2;
  wchar_t* full = needed == 0 || needed > kMaxSystemPath ? nullptr : AllocateWide(needed + kRoom);
  if (full != nullptr) {
    wchar_t* const resolved = full + kRoom;
    const DWORD length = GetFullPathNameW(given, needed, resolved, nullptr);
    if (length == 0 || length >= needed) {
      OsRelease(full);
      full = nullptr;
    } else if (StartsWith(resolved, kLiteral) || StartsWith(resolved, kDevice)) {
      std::wmemmove(full, resolved, length + 1);
    } else if (resolved[0] == L'\\' && resolved[1] == L'\\') {
      std::wmemcpy(full, kNetwork, std::size(kNetwork) - 1);
      std::wmemmove(full + std::size(kNetwork) - 1, resolved + 1, length);
    } else {
      std::wmemcpy(full, kLiteral, std::size(kLiteral) - 1);
      std::wmemmove(full + std::size(kLiteral) - 1, resolved, length + 1);
    }
  }
  OsRelease(given);
  return full;
}

HANDLE OpenSystemPath(const char* path, DWORD access, DWORD sharing, DWORD disposition,
                      DWORD flags) {
  wchar_t* wide = ToSystemPath(path);
  if (wide == nullptr) return INVALID_HANDLE_VALUE;
  const HANDLE file = CreateFileW(wide, access, sharing, nullptr, disposition, flags, nullptr);
  OsRelease(wide);
  return file;
}

}  // namespace

// The find record is large (over 500 bytes) and the walk holds the name
// handed out until it asks for the next, so both live in their own block,
// not on the stack.
struct OsFolderScan {
  HANDLE find;
  WIN32_FIND_DATAW data;
  bool firstPending;  // FindFirstFileW already delivered a name not yet handed out
  bool failed;
  char name[3 * MAX_PATH];  // cFileName in UTF-8: at most three bytes a unit
};

OsFile OsCreateArchive(const char* path) {
  // No sharing: a second writer of the same archive fails, and the walk can
  // never open the archive it is writing as one of its sources.
  return FromHandle(OpenSystemPath(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
}

namespace {

// The volume and file index of an open handle; false when the file system
// gives no index.
bool HandleId(HANDLE file, OsFolderId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info) == FALSE) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return id->index != 0;
}

}  // namespace

bool OsGetFileId(OsFile file, OsFolderId* id) { return HandleId(ToHandle(file), id); }

OsFile OsOpenSource(const char* path, OsFolderId* id) {
  if (id != nullptr) *id = OsFolderId{0, 0};
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder fails to open, which is what
  // keeps folders out of the archive. A file someone holds open for writing
  // without read sharing fails too and is left out.
  // A handle that may write the attributes (which sharing does not limit)
  // can be told to leave the access time alone: packing must not change what
  // it packs. Where that access is refused, a plain read handle serves.
  HANDLE file =
      OpenSystemPath(path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING, 0);
  if (file == INVALID_HANDLE_VALUE) {
    file = OpenSystemPath(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (file != INVALID_HANDLE_VALUE && id != nullptr && !HandleId(file, id))
      *id = OsFolderId{0, 0};
    return FromHandle(file);
  }
  if (id != nullptr && !HandleId(file, id)) *id = OsFolderId{0, 0};
  FILETIME keep;
  keep.dwLowDateTime = 0xFFFFFFFF;
  keep.dwHighDateTime = 0xFFFFFFFF;
  SetFileTime(file, nullptr, &keep, nullptr);
  return FromHandle(file);
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

bool OsSeek(OsFile file, std::uint64_t position) {
  // With the high part given, the distance is 64-bit, so positions from 2 GiB
  // up are not taken for negative ones.
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
  LONG high = static_cast<LONG>(position >> 32);
  const DWORD low =
      SetFilePointer(ToHandle(file), static_cast<LONG>(position & 0xFFFFFFFF), &high, FILE_BEGIN);
  // 0xFFFFFFFF is also a valid low part; only the last error tells.
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  return (static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32 | low) == position;
}

bool OsSetEnd(OsFile file) { return SetEndOfFile(ToHandle(file)) != FALSE; }

bool OsClose(OsFile file) { return file == kNoFile || CloseHandle(ToHandle(file)) != FALSE; }

bool OsGetFacts(OsFile file, OsFileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(ToHandle(file), &info) == FALSE) return false;
  DWORD high = 0;
  const DWORD low = GetFileSize(ToHandle(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  facts->size = static_cast<std::uint64_t>(high) << 32 | low;
  facts->attributes = info.dwFileAttributes;
  facts->unixMode = 0;
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
  // A trailing separator is doubled here and folded by ToSystemPath.
  wchar_t* pattern = ToSystemPath(folder, L"\\*");
  if (pattern == nullptr) return nullptr;
  auto* scan = static_cast<OsFolderScan*>(OsAllocate(sizeof(OsFolderScan)));
  if (scan != nullptr) {
    scan->find = FindFirstFileW(pattern, &scan->data);
    if (scan->find == INVALID_HANDLE_VALUE) {
      OsRelease(scan);
      scan = nullptr;
    } else {
      scan->firstPending = true;
      scan->failed = false;
    }
  }
  OsRelease(pattern);
  return scan;
}

const char* OsNextName(OsFolderScan* scan) {
  if (scan->firstPending) {
    scan->firstPending = false;
  } else if (FindNextFileW(scan->find, &scan->data) == FALSE) {
    scan->failed = GetLastError() != ERROR_NO_MORE_FILES;
    return nullptr;
  }
  EncodeUtf8(scan->data.cFileName, scan->name);
  return scan->name;
}

bool OsListingFailed(const OsFolderScan* scan) { return scan->failed; }

void OsCloseFolder(OsFolderScan* scan) {
  if (scan == nullptr) return;
  FindClose(scan->find);
  OsRelease(scan);
}

bool OsIsFolder(const char* path) {
  wchar_t* wide = ToSystemPath(path);
  if (wide == nullptr) return false;
  const DWORD attributes = GetFileAttributesW(wide);
  OsRelease(wide);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool OsGetPathFacts(const char* path, bool, OsFileFacts* facts) {
  wchar_t* wide = ToSystemPath(path);
  if (wide == nullptr) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  const BOOL ok = GetFileAttributesExW(wide, GetFileExInfoStandard, &data);
  OsRelease(wide);
  if (ok == FALSE) return false;
  facts->size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  facts->attributes = data.dwFileAttributes;
  facts->unixMode = 0;
  facts->lastWrite = FromFileTime(data.ftLastWriteTime);
  facts->lastAccess = FromFileTime(data.ftLastAccessTime);
  facts->creation = FromFileTime(data.ftCreationTime);
  return true;
}

// Links are followed on Windows: the walk never sees one as a link.
bool OsIsLink(const char*) { return false; }

bool OsReadLink(const char*, char*, std::size_t, std::size_t*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool OsGetFolderId(const char* path, OsFolderId* id) {
  // BACKUP_SEMANTICS is what lets CreateFileW open a folder; links are
  // followed, so a junction back to an ancestor shows the ancestor's identity.
  const HANDLE folder = OpenSystemPath(path, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (folder == INVALID_HANDLE_VALUE) return false;
  // A file system that gives no index would make every folder look like its
  // own ancestor; the identity is unknown instead.
  const bool known = HandleId(folder, id);
  CloseHandle(folder);
  return known;
}

void* OsAllocate(std::size_t bytes) { return GlobalAlloc(GMEM_FIXED, bytes); }

void OsRelease(void* block) {
  if (block != nullptr) GlobalFree(block);
}

char* OsWideToUtf8(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  auto* utf8 = static_cast<char*>(OsAllocate(EncodeUtf8(text, nullptr)));
  if (utf8 != nullptr) EncodeUtf8(text, utf8);
  return utf8;
}

char* OsAnsiToUtf8(const char* text) {
  if (text == nullptr) return nullptr;
  const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  wchar_t* wide = AllocateWide(static_cast<std::size_t>(units));
  char* utf8 = nullptr;
  if (wide != nullptr && MultiByteToWideChar(CP_ACP, 0, text, -1, wide, units) == units) {
    utf8 = OsWideToUtf8(wide);
  }
  OsRelease(wide);
  return utf8;
}

std::int32_t OsLastError() { return static_cast<std::int32_t>(GetLastError()); }

void OsErrorText(std::int32_t code, char* text, std::size_t capacity) {
  if (capacity == 0) return;
  text[0] = 0;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                     static_cast<DWORD>(capacity > 0xFFFF ? 0xFFFF : capacity), nullptr);
  // The system's messages end in a full stop and a line break.
  DWORD end = length < capacity ? length : 0;
  while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == '.')) {
    --end;
  }
  text[end] = 0;
}

bool OsIsDiskFull(std::int32_t code) {
  return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
}

bool OsIsShortage(std::int32_t code) {
  return code == ERROR_TOO_MANY_OPEN_FILES || code == ERROR_NOT_ENOUGH_MEMORY ||
         code == ERROR_OUTOFMEMORY || code == ERROR_NO_SYSTEM_RESOURCES ||
         code == ERROR_COMMITMENT_LIMIT;
}

bool OsIsNameTaken(std::int32_t code) {
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

// The system has no nameless file that can be given a name later.
OsFile OsCreateNamelessArchive(const char*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return kNoFile;
}

bool OsNameArchive(OsFile, const char*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

OsFile OsCreateNewArchive(const char* path) {
  return FromHandle(OpenSystemPath(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
}

// A file held without sharing cannot be renamed, removed or replaced, so
// the name still is the file's.
bool OsIsFileAt(OsFile, const char*) { return true; }

// A replaced file's access rights come from its folder, as the new one's do.
bool OsCopyPermissions(const char*, OsFile) { return true; }

char* OsResolveLinks(const char* path) {
  // Following the links needs a file at their end; without one the path
  // itself is where the file goes.
  const HANDLE file = OpenSystemPath(path, FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  char* resolved = nullptr;
  if (file != INVALID_HANDLE_VALUE) {
    const DWORD units = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
    wchar_t* wide = units == 0 ? nullptr : AllocateWide(units);
    if (wide != nullptr &&
        GetFinalPathNameByHandleW(file, wide, units, FILE_NAME_NORMALIZED) < units) {
      resolved = OsWideToUtf8(wide);
    }
    OsRelease(wide);
    CloseHandle(file);
  }
  if (resolved == nullptr) {
    const std::size_t bytes = std::strlen(path) + 1;
    resolved = static_cast<char*>(OsAllocate(bytes));
    if (resolved != nullptr) std::memcpy(resolved, path, bytes);
  }
  return resolved;
}

// ERROR_DIRECTORY_NOT_SUPPORTED, which not every SDK names.
std::int32_t OsFolderError() { return 336; }

bool OsClaimExisting(const char* path, OsFile* held) {
  *held = kNoFile;
  const HANDLE file = OpenSystemPath(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, 0);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_SHARING_VIOLATION;
  CloseHandle(file);
  return true;
}

bool OsRenameFile(const char* from, const char* to) {
  wchar_t* wideFrom = ToSystemPath(from);
  wchar_t* wideTo = ToSystemPath(to);
  const bool moved = wideFrom != nullptr && wideTo != nullptr &&
                     MoveFileExW(wideFrom, wideTo, MOVEFILE_REPLACE_EXISTING) != FALSE;
  OsRelease(wideFrom);
  OsRelease(wideTo);
  return moved;
}

bool OsRemoveFile(const char* path) {
  wchar_t* wide = ToSystemPath(path);
  const bool removed = wide != nullptr && DeleteFileW(wide) != FALSE;
  OsRelease(wide);
  return removed;
}

bool OsErrorStreamIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

namespace {

// Pipes and devices live in the device namespace (\\.\pipe\name), besides
// the reserved names of the null device and the console.
bool NamesDevice(const char* path) {
  if (std::strncmp(path, "\\\\.\\", 4) == 0) return true;
  for (const char* reserved : {"NUL", "CON", "CONOUT$"}) {
    if (_stricmp(path, reserved) == 0) return true;
  }
  return false;
}

}  // namespace

bool OsIsStream(const char* path) { return NamesDevice(path); }

OsFile OsOpenStream(const char* path) {
  const HANDLE file =
      OpenSystemPath(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (file == INVALID_HANDLE_VALUE) return kNoFile;
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_PIPE && type != FILE_TYPE_CHAR) {
    CloseHandle(file);
    SetLastError(ERROR_INVALID_PARAMETER);
    return kNoFile;
  }
  return FromHandle(file);
}

OsFile OsStandardOutput() { return FromHandle(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool OsStandardOutputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

// A closed standard handle is no number a new file could take.
bool OsOpenStandardStreams() { return true; }

std::uint64_t OsMonotonicNanoseconds() {
  LARGE_INTEGER ticks;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&ticks);
  QueryPerformanceFrequency(&frequency);
  const auto count = static_cast<std::uint64_t>(ticks.QuadPart);
  const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
  return count / perSecond * 1'000'000'000u + count % perSecond * 1'000'000'000u / perSecond;
}

OsFile OsCreateScratch(const char* path) {
  return FromHandle(OpenSystemPath(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE));
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

// A file's space is given back only when it is sparse, which spill files
// are not: they are gone once closed all the same.
bool OsDiscardStart(OsFile, std::uint64_t) { return false; }

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

OsFile OsReopenForReadsAt(OsFile source) {
  return FromHandle(ReOpenFile(ToHandle(source), GENERIC_READ, FILE_SHARE_READ, 0));
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
