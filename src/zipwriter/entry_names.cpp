// Naming rules of an entry: which extensions are stored as they are, and
// which names need the UTF-8 flag.
#include <array>
#include <cstring>
#include <string_view>

#include "zipwriter/source_details.h"

namespace zf {
namespace {

// Files already compressed by an archiver gain nothing from deflate.
constexpr std::array<std::string_view, 8> kStoredExtensions = {".z",   ".zip", ".zoo", ".arc",
                                                               ".lzh", ".arj", ".gz",  ".tgz"};

// Case folding in ASCII only, so that the result never depends on a locale.
char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

bool IsStoredExtension(const char* name) {
  const std::string_view text(name);
  const std::size_t dot = text.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view extension(text.data() + dot, text.size() - dot);
  for (std::string_view stored : kStoredExtensions) {
    if (EqualFolded(extension, stored)) return true;
  }
  return false;
}

std::size_t EntryNameLength(const ZipWriter* writer, const char* name, const char* suffix) {
  const std::size_t length = std::strlen(name);
  const std::size_t prefix = writer->namePrefixLength;
  return prefix + (prefix != 0 && length != 0 ? 1 : 0) + length + std::strlen(suffix);
}

void SetEntryName(const ZipWriter* writer, ZipEntry* entry, const char* name, const char* suffix) {
  char* out = entry->name;
  const std::size_t length = std::strlen(name);
  if (writer->namePrefixLength != 0) {
    std::memcpy(out, writer->namePrefix, writer->namePrefixLength);
    out += writer->namePrefixLength;
    if (length != 0) *out++ = '/';
  }
  for (std::size_t i = 0; i < length; ++i) *out++ = name[i] == '\\' ? '/' : name[i];
  const std::size_t suffixLength = std::strlen(suffix);
  std::memcpy(out, suffix, suffixLength + 1);
  entry->nameLength = static_cast<std::uint16_t>(out + suffixLength - entry->name);
}

bool NeedsUtf8Flag(const char* name) {
  if (!kNamesAreUtf8) return false;
  bool ascii = true;
  const auto* p = reinterpret_cast<const unsigned char*>(name);
  while (*p != 0) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    ascii = false;
    int follow;
    std::uint32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
      follow = 1;
      value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      follow = 2;
      value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      follow = 3;
      value = lead & 0x07u;
    } else {
      return false;
    }
    ++p;
    for (int i = 0; i < follow; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      value = value << 6 | (*p & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (value < least[follow] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
      return false;
    }
  }
  return !ascii;
}

}  // namespace zf
