// The tool's own system needs on Windows (see tool_system.h): paths arrive
// in UTF-8 and go to the wide calls.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "tool_system.h"

namespace tool {
namespace {

// path in UTF-16, from malloc; null when it cannot be converted.
wchar_t* Utf8ToWide(const char* path) {
  const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (count <= 0) return nullptr;
  auto* wide = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<unsigned>(count)));
  if (wide != nullptr) MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, count);
  return wide;
}

DWORD Attributes(const char* path) {
  wchar_t* wide = Utf8ToWide(path);
  const DWORD attributes = wide != nullptr ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
  std::free(wide);
  return attributes;
}

}  // namespace

bool OpenStandardStreams() { return true; }

void SetBinaryOutput() { _setmode(_fileno(stdout), _O_BINARY); }

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

double MonotonicSeconds() {
  LARGE_INTEGER ticks;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&ticks);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(ticks.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool IsFolder(const char* path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsStream(const char* path) {
  if (std::strncmp(path, "\\\\.\\", 4) == 0) return true;
  static constexpr const char* kReserved[] = {"NUL", "CON", "CONOUT$"};
  for (const char* reserved : kReserved) {
    if (_stricmp(path, reserved) == 0) return true;
  }
  return false;
}

std::FILE* OpenForReading(const char* path) {
  wchar_t* wide = Utf8ToWide(path);
  std::FILE* file = wide != nullptr ? _wfopen(wide, L"rb") : nullptr;
  std::free(wide);
  return file;
}

bool ReadHiddenLine(const char* prompt, char* line, std::size_t capacity) {
  HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE output =
      CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD saved = 0;
  bool ok = input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
            GetConsoleMode(input, &saved) != 0;
  DWORD written = 0;
  ok = ok && WriteConsoleA(output, prompt, static_cast<DWORD>(std::strlen(prompt)), &written,
                           nullptr) != 0;
  ok = ok && SetConsoleMode(input, (saved | ENABLE_LINE_INPUT) & ~ENABLE_ECHO_INPUT) != 0;
  wchar_t wide[1024];
  DWORD got = 0;
  ok = ok && ReadConsoleW(input, wide, 1023, &got, nullptr) != 0;
  if (input != INVALID_HANDLE_VALUE) {
    SetConsoleMode(input, saved);
    CloseHandle(input);
  }
  if (output != INVALID_HANDLE_VALUE) {
    WriteConsoleA(output, "\r\n", 2, &written, nullptr);
    CloseHandle(output);
  }
  std::size_t length = got;
  while (length != 0 && (wide[length - 1] == L'\n' || wide[length - 1] == L'\r')) --length;
  const bool ended = length < got;
  const int bytes = ok && ended
                        ? WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), line,
                                              static_cast<int>(capacity) - 1, nullptr, nullptr)
                        : 0;
  WipeBytes(wide, sizeof wide);
  if (capacity != 0) line[bytes > 0 ? bytes : 0] = 0;
  return ok && ended && (bytes > 0 || length == 0);
}

void WipeBytes(void* bytes, std::size_t count) { SecureZeroMemory(bytes, count); }

void ErrorText(int error, char* text, std::size_t capacity) {
  std::snprintf(text, capacity, "%s", std::strerror(error));
  if (text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') text[0] += 'a' - 'A';
}

char* WideToUtf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return nullptr;
  auto* utf8 = static_cast<char*>(std::malloc(static_cast<unsigned>(bytes)));
  if (utf8 != nullptr) WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace tool
