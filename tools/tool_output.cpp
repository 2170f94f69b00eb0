// The tool's forms of names, sizes and times (see tool_output.h).
#include "tool_output.h"

#include <cstring>

namespace tool {

std::size_t Utf8Length(const unsigned char* text) {
  const unsigned lead = text[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned byte = text[i];
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

std::size_t EscapeOne(const char* text, char (&out)[12]) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const unsigned byte = bytes[0];
  const std::size_t length = Utf8Length(bytes);
  const char* named = byte == '\n' ? "\\n" : byte == '\t' ? "\\t" : byte == '\r' ? "\\r" : nullptr;
#if !defined(_WIN32)
  if (byte == '\\') named = "\\\\";  // no separator here
#endif
  if (named != nullptr) {
    std::snprintf(out, sizeof out, "%s", named);
    return 1;
  }
  if (byte < 0x20 || byte == 0x7F || length == 0) {
    std::snprintf(out, sizeof out, "\\x%02x", byte);
    return 1;
  }
  if (byte == 0xC2 && bytes[1] < 0xA0) {
    std::snprintf(out, sizeof out, "\\xc2\\x%02x", bytes[1]);
    return 2;
  }
  std::memcpy(out, text, length);
  out[length] = 0;
  return length;
}

void PrintEscaped(std::FILE* stream, const char* text) {
  char form[12];
  for (const char* p = text != nullptr ? text : ""; *p != 0;) {
    p += EscapeOne(p, form);
    std::fputs(form, stream);
  }
}

void FormatSize(std::uint64_t bytes, char (&out)[32]) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) {
    std::snprintf(out, sizeof out, "%u bytes", static_cast<unsigned>(bytes));
    return;
  }
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof *kUnits) {
    value /= 1024;
    ++unit;
  }
  std::snprintf(out, sizeof out, "%.1f %s", value, kUnits[unit]);
}

void FormatDuration(double seconds, char (&out)[32]) {
  const auto whole = static_cast<unsigned long long>(seconds < 0 ? 0 : seconds + 0.5);
  if (whole >= 3600) {
    std::snprintf(out, sizeof out, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(out, sizeof out, "%llu:%02llu", whole / 60, whole % 60);
  }
}

void PrintJsonString(std::FILE* stream, const char* text) {
  std::fputc('"', stream);
  for (const char* p = text != nullptr ? text : ""; *p != 0;) {
    const auto byte = static_cast<unsigned char>(*p);
    const std::size_t length = Utf8Length(reinterpret_cast<const unsigned char*>(p));
    if (byte == '"' || byte == '\\') {
      std::fputc('\\', stream);
      std::fputc(byte, stream);
    } else if (byte < 0x20 || byte == 0x7F) {
      std::fprintf(stream, "\\u%04x", byte);
    } else if (length == 0) {
      std::fputs("\\ufffd", stream);  // a byte that starts no character
    } else {
      std::fwrite(p, 1, length, stream);
      p += length;
      continue;
    }
    ++p;
  }
  std::fputc('"', stream);
}

}  // namespace tool
