// zipfolder: the command-line face of the library. It packs through the very
// function the library exports, and only adds an exit status and a summary.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "entry/pack_folder.h"

namespace {

constexpr const char* kUsage =
    "usage: zipfolder [-q] SOURCE_FOLDER ARCHIVE\n"
    "Packs every file below SOURCE_FOLDER into the new ZIP archive ARCHIVE\n"
    "(replaced if it exists), named by its path below SOURCE_FOLDER.\n"
    "\n"
    "  -q         print nothing but errors\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

int Fail(const char* message, const char* path) {
  std::fprintf(stderr, "zipfolder: %s '%s'\n", message, path);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  const char* operands[2] = {nullptr, nullptr};
  int count = 0;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!optionsEnded && std::strcmp(arg, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!optionsEnded && std::strcmp(arg, "--version") == 0) {
      std::puts("zipfolder 1.0.0");
      return 0;
    }
    if (!optionsEnded && std::strcmp(arg, "-q") == 0) {
      quiet = true;
    } else if (!optionsEnded && std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (!optionsEnded && arg[0] == '-' && arg[1] != 0) {
      std::fprintf(stderr, "zipfolder: unknown option '%s'\n%s", arg, kUsage);
      return 2;
    } else if (count < 2) {
      operands[count++] = arg;
    } else {
      std::fprintf(stderr, "zipfolder: too many arguments\n%s", kUsage);
      return 2;
    }
  }
  if (count != 2 || *operands[0] == 0 || *operands[1] == 0) {
    std::fprintf(stderr, "zipfolder: expected a source folder and an archive path\n%s", kUsage);
    return 2;
  }

  zf::PackSummary summary;
  switch (zf::PackFolder(operands[0], operands[1], &summary)) {
    case zf::ErrNone:
      break;
    case zf::ErrOpen:
      return Fail("cannot create the archive", operands[1]);
    case zf::ErrNoMemory:
      return Fail("out of memory while creating", operands[1]);
    default:
      return Fail("writing failed, the archive is incomplete:", operands[1]);
  }
  if (!quiet) {
    std::printf("%" PRIu64 " entries, %" PRIu64 " bytes read, archive %" PRIu64 " bytes\n",
                summary.entries, summary.bytesRead, summary.archiveBytes);
  }
  return 0;
}
