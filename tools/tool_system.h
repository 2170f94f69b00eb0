// What the tool asks of the system for itself, apart from packing, which
// it leaves to the library: its standard streams, whether they are
// terminals, and paths it looks at before the library does. One file per
// system (tool_system_posix.cpp, tool_system_win32.cpp); the tool reaches
// nothing of the library's own platform layer.
#pragma once

#include <cstddef>
#include <cstdio>

namespace tool {

// Opens the null device on standard streams that are closed, so that no
// file the tool opens takes their numbers. False when that fails.
bool OpenStandardStreams();
// Standard output carries bytes as they are: no line-end conversion.
void SetBinaryOutput();
bool IsTerminal(std::FILE* stream);
// Seconds from a fixed moment, never going back.
double MonotonicSeconds();
// Paths are UTF-8.
bool IsFolder(const char* path);
// A FIFO or a character device, which the library streams into.
bool IsStream(const char* path);
std::FILE* OpenForReading(const char* path);
// Asks prompt on the controlling terminal (the console on Windows) and
// reads one line there without echo, into line (UTF-8, terminated, without
// its line end). False when there is no terminal, the line does not fit
// capacity or reading fails.
bool ReadHiddenLine(const char* prompt, char* line, std::size_t capacity);
// Sets count bytes to zero in a way the compiler cannot leave out.
void WipeBytes(void* bytes, std::size_t count);
// The system's words for an errno value, lower case.
void ErrorText(int error, char* text, std::size_t capacity);

#if defined(_WIN32)
// One argument in UTF-8, from malloc; null when it cannot be converted.
char* WideToUtf8(const wchar_t* text);
#endif

}  // namespace tool
