// zipfolder: the command-line face of the library. It packs through the very
// function the library exports, and only adds an exit status and a summary.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "entry/parallel_pack.h"

namespace {

constexpr const char* kUsage =
    "usage: zipfolder [-q] [-T N] SOURCE_FOLDER ARCHIVE\n"
    "Packs every file below SOURCE_FOLDER into the new ZIP archive ARCHIVE\n"
    "(replaced if it exists), named by its path below SOURCE_FOLDER.\n"
    "\n"
    "  -q         print nothing but errors\n"
    "  -T N, --threads=N\n"
    "             compress N files at once (default: one per processor);\n"
    "             the archive is the same for every N\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

// A thread count from 1 to 256, or 0 when the text is none.
std::uint32_t ParseThreads(const char* text) {
  std::uint32_t value = 0;
  if (text == nullptr || *text == 0) return 0;
  for (; *text != 0; ++text) {
    if (*text < '0' || *text > '9') return 0;
    value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    if (value > 256) return 0;
  }
  return value;
}

int Fail(const char* message, const char* path) {
  std::fprintf(stderr, "zipfolder: %s '%s'\n", message, path);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  std::uint32_t threads = zf::OsProcessorCount();
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
    const char* threadsText = nullptr;
    if (!optionsEnded && std::strcmp(arg, "-T") == 0) {
      threadsText = i + 1 < argc ? argv[++i] : "";
    } else if (!optionsEnded && std::strncmp(arg, "--threads=", 10) == 0) {
      threadsText = arg + 10;
    }
    if (threadsText != nullptr) {
      threads = ParseThreads(threadsText);
      if (threads == 0) {
        std::fprintf(stderr, "zipfolder: -T needs a number from 1 to 256\n%s", kUsage);
        return 2;
      }
    } else if (!optionsEnded && std::strcmp(arg, "-q") == 0) {
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
  switch (zf::PackFolderInParallel(operands[0], operands[1], threads, nullptr, &summary)) {
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
    std::printf("%" PRIu32 " entries, %" PRIu64 " bytes read, archive %" PRIu64 " bytes\n",
                summary.entries, summary.bytesRead, summary.archiveBytes);
  }
  return 0;
}
