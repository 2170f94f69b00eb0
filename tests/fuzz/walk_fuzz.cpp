// Fuzz target: the input describes a small tree of folders, files and links;
// it is built in a scratch folder and packed. The archive must be whole, each
// entry must inflate (zlib) to the bytes of the file its name leads to, no
// name may come twice, and every file made in a real folder must be in it
// under some name (a folder reached by links is stored once, under the first
// path walked).
//
// Input: records of [kind, parent, size or target, name length, name bytes].
// kind % 4: 0 folder, 1 file, 2 link to an earlier node, 3 link to "..".
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "entry/pack_folder.h"

namespace {

constexpr std::size_t kMostNodes = 24;

void Require(bool condition) {
  if (!condition) std::abort();
}

struct Node {
  std::string path;  // below the root, "" for the root
  bool folder;
  bool usable;  // no backslash on its way: the walk keeps it
  std::string content;
};

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::uint8_t block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0)
      bytes.insert(bytes.end(), block, block + got);
    std::fclose(f);
  }
  return bytes;
}

std::uint32_t Le(const std::vector<std::uint8_t>& b, std::size_t at, int bytes) {
  Require(at + static_cast<std::size_t>(bytes) <= b.size());
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | b[at + static_cast<std::size_t>(i)];
  return value;
}

std::vector<std::uint8_t> EntryData(const std::vector<std::uint8_t>& zip, std::size_t local,
                                    std::uint32_t method, std::uint32_t packed,
                                    std::uint32_t size) {
  Require(Le(zip, local, 4) == 0x04034b50);
  const std::size_t at = local + 30 + Le(zip, local + 26, 2) + Le(zip, local + 28, 2);
  Require(at + packed <= zip.size());
  if (method == 0)
    return {zip.begin() + static_cast<long>(at), zip.begin() + static_cast<long>(at + packed)};
  std::vector<std::uint8_t> out(size + 1);
  z_stream z{};
  Require(inflateInit2(&z, -15) == Z_OK);
  z.next_in = const_cast<Bytef*>(zip.data() + at);
  z.avail_in = packed;
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  Require(inflate(&z, Z_FINISH) == Z_STREAM_END);
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  char pattern[] = "/tmp/walk-fuzz-XXXXXX";
  Require(mkdtemp(pattern) != nullptr);
  const std::string scratch = pattern;
  const std::string root = scratch + "/src";
  Require(mkdir(root.c_str(), 0755) == 0);
  std::vector<Node> nodes{{"", true, true, ""}};
  std::size_t at = 0;
  while (at + 4 <= size && nodes.size() < kMostNodes) {
    const std::uint8_t kind = data[at] % 4;
    const Node parent = nodes[data[at + 1] % nodes.size()];
    const std::uint8_t extra = data[at + 2];
    const std::size_t nameLength = std::min<std::size_t>(1 + data[at + 3] % 12, size - at - 4);
    std::string name(reinterpret_cast<const char*>(data + at + 4), nameLength);
    at += 4 + nameLength;
    for (char& c : name) {
      if (c == '/' || c == 0) c = '_';
    }
    if (!parent.folder || name.empty() || name == "." || name == "..") continue;
    const std::string path = parent.path.empty() ? name : parent.path + "/" + name;
    const std::string full = root + "/" + path;
    const bool usable = parent.usable && name.find('\\') == std::string::npos;
    if (kind == 0) {
      if (mkdir(full.c_str(), 0755) == 0) nodes.push_back({path, true, usable, ""});
    } else if (kind == 1) {
      // Unique content, so that each file can be found by it.
      std::string content = "file " + std::to_string(nodes.size()) + ":";
      content.append(std::size_t{extra} * 61, static_cast<char>('a' + extra % 26));
      if (FILE* f = std::fopen(full.c_str(), "wbx")) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        nodes.push_back({path, false, usable, content});
      }
    } else {
      const std::string target = kind == 2 ? root + "/" + nodes[extra % nodes.size()].path : "..";
      if (symlink(target.c_str(), full.c_str()) == 0) nodes.push_back({path, false, false, ""});
    }
  }

  const std::string zipPath = scratch + "/out.zip";
  Require(zf::PackFolder(root.c_str(), zipPath.c_str(), nullptr) == zf::ErrNone);
  const auto zip = ReadAll(zipPath);
  Require(zip.size() >= 22);
  const std::size_t end = zip.size() - 22;
  Require(Le(zip, end, 4) == 0x06054b50);
  const std::uint32_t count = Le(zip, end + 10, 2);
  std::size_t central = Le(zip, end + 16, 4);
  std::set<std::string> names;
  std::set<std::string> contents;
  for (std::uint32_t i = 0; i < count; ++i) {
    Require(Le(zip, central, 4) == 0x02014b50);
    const std::uint32_t nameLength = Le(zip, central + 28, 2);
    Require(central + 46 + nameLength <= zip.size());
    const std::string name(reinterpret_cast<const char*>(zip.data() + central + 46), nameLength);
    Require(names.insert(name).second);
    const auto bytes = EntryData(zip, Le(zip, central + 42, 4), Le(zip, central + 10, 2),
                                 Le(zip, central + 20, 4), Le(zip, central + 24, 4));
    Require(bytes.size() == Le(zip, central + 24, 4));
    Require(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())) == Le(zip, central + 16, 4));
    Require(bytes == ReadAll(root + "/" + name));
    contents.insert(std::string(bytes.begin(), bytes.end()));
    central += 46 + nameLength + Le(zip, central + 30, 2) + Le(zip, central + 32, 2);
  }
  for (const Node& node : nodes) {
    if (!node.folder && node.usable && !node.content.empty())
      Require(contents.count(node.content) == 1);
  }
  Require(nftw(scratch.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS) == 0);
  return 0;
}
