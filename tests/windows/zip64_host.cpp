// A Windows program that links the library's core as it is and packs one
// small tree with the classic field maxima lowered, so that the ZIP64 forms
// of the Win32 build (offsets, sizes, counts, the ZIP64 end record) show on
// a few kilobytes. The DLL exports nothing that could lower them, and needs
// not to: the writer is the same code in both. check_zip64_host.py builds it,
// runs it under Wine and reads the archive.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "entry/pack_folder.h"

namespace {

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && whole;
}

std::string Noise(std::size_t count) {
  std::string bytes;
  std::uint32_t state = 12345;
  while (bytes.size() < count) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 24);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zip64_host WORK_FOLDER\n");
    return 2;
  }
  const std::string tree = std::string(argv[1]) + "\\tree";
  std::string text;
  while (text.size() < 3000) text += "a line of text " + std::to_string(text.size()) + "\r\n";
  // Two entries have sizes past the lowered maximum, the one written last
  // its header offset, and three entries pass the lowered count.
  CreateDirectoryA(tree.c_str(), nullptr);
  CreateDirectoryA((tree + "\\a").c_str(), nullptr);
  if (!WriteWholeFile(tree + "\\text.txt", text) ||
      !WriteWholeFile(tree + "\\noise.gz", Noise(5000)) ||
      !WriteWholeFile(tree + "\\a\\small.txt", "small\r\n")) {
    std::fprintf(stderr, "zip64_host: cannot make the tree\n");
    return 1;
  }
  zf::ZipWriter* writer = nullptr;
  const std::string zip = std::string(argv[1]) + "\\zip64.zip";
  if (zf::OpenArchive(zip.c_str(), &writer) != zf::ErrNone) return 1;
  writer->ownChoices.classicSizeMax = 1000;
  writer->ownChoices.classicCountMax = 2;
  zf::AddFolder(writer, tree.c_str(), tree.c_str());
  if (zf::CloseArchive(writer) != zf::ErrNone) return 1;
  std::printf("zip64_host: packed\n");
  return 0;
}
