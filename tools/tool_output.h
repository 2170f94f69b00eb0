// How the tool writes what it is told: names escaped for a terminal, sizes
// in binary units, durations, and JSON strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tool {

// The length of the UTF-8 character at text (1 to 4), or 0 when none starts there.
std::size_t Utf8Length(const unsigned char* text);

// The printable form of the character at text into out: control
// characters as \n, \t, \r or \xHH, bytes that are not UTF-8 and the C1
// controls as \xHH, a backslash doubled where it is no separator. Returns
// the bytes of text it took.
std::size_t EscapeOne(const char* text, char (&out)[12]);
// Text from outside (names, paths) as it is safe to print: no name forges
// a line or sends the terminal a command.
void PrintEscaped(std::FILE* stream, const char* text);

// "512 bytes", "1.5 KiB", "20.0 MiB", "3.2 GiB", "1.1 TiB".
void FormatSize(std::uint64_t bytes, char (&out)[32]);
// "0:42", "12:05", "3:02:10".
void FormatDuration(double seconds, char (&out)[32]);

// text as a JSON string, quotes included (text is UTF-8).
void PrintJsonString(std::FILE* stream, const char* text);

}  // namespace tool
