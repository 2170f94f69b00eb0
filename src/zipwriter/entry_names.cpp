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

// Images, audio, video, compressed files and archives, packages (which are
// archives under another name), office documents (archives of XML) and
// web fonts: formats whose data is compressed already. Formats that are
// often uncompressed (TIFF, BMP, WAV, PDF, plain tar) are not among them.
const char* const kCompressedTypes =
    "jpg,jpeg,jpe,jfif,png,gif,webp,avif,heic,heif,jxl,jp2,"
    "mp3,m4a,aac,ogg,oga,opus,flac,wma,"
    "mp4,m4v,mkv,webm,mov,avi,wmv,flv,3gp,ogv,mpg,mpeg,"
    "zip,gz,tgz,bz2,tbz2,xz,txz,lz,lzma,lz4,zst,tzst,7z,rar,z,br,cab,arj,lzh,zoo,arc,"
    "jar,war,ear,aar,apk,aab,ipa,xpi,crx,whl,egg,nupkg,deb,rpm,snap,dmg,vsix,"
    "docx,docm,xlsx,xlsm,pptx,pptm,odt,ods,odp,odg,epub,"
    "woff,woff2";

bool IsStoredExtension(const char* name, const char* list) {
  if (list != nullptr) {
    const std::string_view text(name);
    for (const char* item = list; *item != 0;) {
      const char* end = std::strchr(item, ',');
      if (end == nullptr) end = item + std::strlen(item);
      std::string_view extension(item, static_cast<std::size_t>(end - item));
      if (!extension.empty() && extension[0] == '.') extension.remove_prefix(1);
      if (!extension.empty() && text.size() > extension.size() &&
          text[text.size() - extension.size() - 1] == '.' &&
          EqualFolded(
              std::string_view(text.data() + text.size() - extension.size(), extension.size()),
              extension)) {
        return true;
      }
      item = *end == ',' ? end + 1 : end;
    }
    return false;
  }
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
  const std::size_t prefix = writer->choices->namePrefixLength;
  return prefix + (prefix != 0 && length != 0 ? 1 : 0) + length + std::strlen(suffix);
}

void SetEntryName(const ZipWriter* writer, ZipEntry* entry, const char* name, const char* suffix) {
  char* out = entry->name;
  const std::size_t length = std::strlen(name);
  if (writer->choices->namePrefixLength != 0) {
    std::memcpy(out, writer->choices->namePrefix, writer->choices->namePrefixLength);
    out += writer->choices->namePrefixLength;
    if (length != 0) *out++ = '/';
  }
  for (std::size_t i = 0; i < length; ++i) *out++ = name[i] == '\\' ? '/' : name[i];
  const std::size_t suffixLength = std::strlen(suffix);
  std::memcpy(out, suffix, suffixLength + 1);
  entry->nameLength = static_cast<std::uint16_t>(out + suffixLength - entry->name);
}

std::size_t Utf8CharacterLength(const unsigned char* text) {
  const unsigned lead = text[0];
  std::size_t length = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;  // the range of the byte after the lead
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (length == 0 || text[1] < low || text[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  }
  return length;
}

bool NeedsUtf8Flag(const char* name) {
  if (!kNamesAreUtf8) return false;
  bool ascii = true;
  for (const auto* p = reinterpret_cast<const unsigned char*>(name); *p != 0;) {
    const std::size_t length = Utf8CharacterLength(p);
    if (length == 0) return false;
    ascii = ascii && length == 1;
    p += length;
  }
  return !ascii;
}

}  // namespace zf
