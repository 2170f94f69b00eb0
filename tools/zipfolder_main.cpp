// zipfolder: the command-line face of the library. It packs through the
// reporting function the library exports and turns its events into what
// archiver users expect: each file left out named on stderr, an exit status
// that says how it went, a listing with -v and a progress line on a terminal.
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "entry/pack_folder.h"
#include "entry/report.h"
#include "zipfolder.h"

namespace {

constexpr const char* kUsage =
    "usage: zipfolder [-q|-v] [-0..-9] [-T N] SOURCE_FOLDER ARCHIVE\n"
    "Packs every file below SOURCE_FOLDER into the new ZIP archive ARCHIVE,\n"
    "named by its path below SOURCE_FOLDER. An existing ARCHIVE is replaced\n"
    "only once the new one is complete.\n"
    "\n"
    "  -q         print nothing but errors and the files left out\n"
    "  -v         list each file as it is added, with its method and ratio\n"
    "  -0 ... -9, --level=N\n"
    "             compression level: 1 fastest, 9 smallest, 0 stores every\n"
    "             file uncompressed (default: 8)\n"
    "  -T N, --threads=N\n"
    "             compress N files at once (default: one per processor);\n"
    "             the archive is the same for every N\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Exit status: 0 every file packed; 3 the archive is written but some\n"
    "files were left out (each is named on stderr); 1 the source cannot be\n"
    "read, or the archive cannot be created or written (nothing is replaced);\n"
    "2 wrong arguments; 130 interrupted.\n";

constexpr int kExitLeftOut = 3;
constexpr int kExitInterrupted = 130;
constexpr std::uint64_t kRedrawEvery = 200'000'000;  // nanoseconds
constexpr int kProgressColumns = 79;

// Set by SIGINT and read by the callback, which then cancels: the
// unfinished archive is removed rather than left behind.
volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

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

struct Run {
  bool quiet;
  bool verbose;
  bool progress;             // stderr is a terminal
  std::uint64_t totalBytes;  // of the first walk, for the percentage
  std::uint64_t addedBytes;
  std::uint64_t archiveBytes;
  std::uint64_t start;  // OsMonotonicNanoseconds
  std::uint64_t lastDraw;
  int drawnWidth;  // columns of the progress line on the screen, 0 when none
  std::uint32_t entries;
  std::uint32_t leftOut;
  std::int32_t failureError;  // the FAILED event's, kept past the callback
  char failureText[160];
};

void EraseProgress(Run* run) {
  if (run->drawnWidth == 0) return;
  std::fprintf(stderr, "\r%*s\r", run->drawnWidth, "");
  std::fflush(stderr);
  run->drawnWidth = 0;
}

void DrawProgress(Run* run, const ZipFolderEvent& event) {
  const std::uint64_t now = zf::OsMonotonicNanoseconds();
  if (run->drawnWidth != 0 && now - run->lastDraw < kRedrawEvery) return;
  run->lastDraw = now;
  const double seconds = static_cast<double>(now - run->start) / 1e9;
  const double rate = seconds > 0 ? static_cast<double>(event.bytesRead) / seconds / 1e6 : 0;
  const std::uint64_t done = event.bytesRead < run->totalBytes ? event.bytesRead : run->totalBytes;
  const unsigned percent =
      run->totalBytes == 0 ? 100u : static_cast<unsigned>(done * 100 / run->totalBytes);
  char line[kProgressColumns + 1];
  int used = std::snprintf(line, sizeof line, "%3u%% %7.1f MB/s  ", percent, rate);
  if (used < 0) used = 0;
  // The name's tail, which tells most, fills the rest of the line.
  const char* name = event.name != nullptr ? event.name : "";
  const std::size_t room = static_cast<std::size_t>(kProgressColumns - used);
  const std::size_t length = std::strlen(name);
  if (length > room && room > 3) {
    std::snprintf(line + used, room + 1, "...%s", name + length - (room - 3));
  } else {
    std::snprintf(line + used, room + 1, "%s", name);
  }
  const int width = static_cast<int>(std::strlen(line));
  std::fprintf(stderr, "\r%s%*s", line, run->drawnWidth > width ? run->drawnWidth - width : 0, "");
  std::fflush(stderr);
  run->drawnWidth = width > run->drawnWidth ? width : run->drawnWidth;
}

int OnEvent(void* context, const ZipFolderEvent* event) {
  auto* run = static_cast<Run*>(context);
  switch (event->kind) {
    case ZIPFOLDER_EVENT_PROGRESS:
      if (run->progress) DrawProgress(run, *event);
      break;
    case ZIPFOLDER_EVENT_ADDED:
      run->addedBytes += event->size;
      if (run->verbose) {
        EraseProgress(run);
        const std::uint64_t saved =
            event->size > event->compressedSize ? event->size - event->compressedSize : 0;
        std::printf("%s (%s %" PRIu64 "%%)\n", event->name,
                    event->method == 0 ? "stored" : "deflated",
                    event->size == 0 ? 0 : saved * 100 / event->size);
        std::fflush(stdout);
      }
      break;
    case ZIPFOLDER_EVENT_LEFT_OUT:
      EraseProgress(run);
      std::fprintf(stderr, "zipfolder: left out %s: %s\n", event->name, event->reasonText);
      break;
    case ZIPFOLDER_EVENT_FINISHED:
      run->archiveBytes = event->size;
      break;
    case ZIPFOLDER_EVENT_FAILED:
      EraseProgress(run);
      run->failureError = event->systemError;
      std::snprintf(run->failureText, sizeof run->failureText, "%s",
                    event->reasonText != nullptr ? event->reasonText : "");
      break;
    default:
      break;
  }
  run->entries = event->entriesAdded;
  run->leftOut = event->filesLeftOut;
  return interrupted != 0 ? 1 : 0;
}

// The first walk, for the percentage: sizes only, with the rules of the
// real walk, so that the two agree on what there is.
bool AddFileSize(void* context, const char* path, const char*) {
  const zf::OsFile file = zf::OsOpenSource(path);
  if (file == zf::kNoFile) return true;
  zf::OsFileFacts facts;
  if (zf::OsGetFacts(file, &facts)) *static_cast<std::uint64_t*>(context) += facts.size;
  zf::OsClose(file);
  return interrupted == 0;
}

int ReportFailure(std::int32_t status, const char* source, const char* archive, const Run& run) {
  const char* why = run.failureText[0] != 0 ? run.failureText : "unknown failure";
  switch (status) {
    case ZIPFOLDER_NO_SOURCE:
      if (run.failureError == 0) why = "not a folder";
      std::fprintf(stderr, "zipfolder: cannot read the folder '%s': %s\n", source, why);
      break;
    case ZIPFOLDER_CANNOT_CREATE:
      std::fprintf(stderr, "zipfolder: cannot create the archive '%s': %s\n", archive, why);
      break;
    case ZIPFOLDER_DISK_FULL:
    case ZIPFOLDER_WRITE_FAILED:
      std::fprintf(stderr, "zipfolder: writing failed%s, '%s' not written: %s\n",
                   status == ZIPFOLDER_DISK_FULL ? " (disk full)" : "", archive, why);
      break;
    case ZIPFOLDER_CANCELLED:
      std::fprintf(stderr, "zipfolder: interrupted, '%s' not written\n", archive);
      return kExitInterrupted;
    default:
      std::fprintf(stderr, "zipfolder: out of memory while writing '%s'\n", archive);
      break;
  }
  return 1;
}

// A level from "0" to "9" as the options record takes it, or -2 when the
// text is not one.
std::int32_t ParseLevel(const char* text) {
  if (text == nullptr || text[0] < '0' || text[0] > '9' || text[1] != 0) return -2;
  return text[0] == '0' ? ZIPFOLDER_LEVEL_STORE : text[0] - '0';
}

int RunTool(int argc, char** argv) {
  Run run{};
  std::int32_t level = ZIPFOLDER_LEVEL_DEFAULT;
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
    } else if (!optionsEnded && (std::strncmp(arg, "--level=", 8) == 0 ||
                                 (arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9'))) {
      level = ParseLevel(arg[1] == '-' ? arg + 8 : arg + 1);
      if (level == -2) {
        std::fprintf(stderr, "zipfolder: the level is a digit from 0 to 9\n%s", kUsage);
        return 2;
      }
    } else if (!optionsEnded && std::strcmp(arg, "-q") == 0) {
      run.quiet = true;
    } else if (!optionsEnded && std::strcmp(arg, "-v") == 0) {
      run.verbose = true;
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
  if (run.quiet) run.verbose = false;
  run.progress = !run.quiet && zf::OsErrorStreamIsTerminal();
  std::signal(SIGINT, OnInterrupt);

  run.start = zf::OsMonotonicNanoseconds();
  if (run.progress && zf::OsIsFolder(operands[0])) {
    zf::WalkFolder(zf::WalkVisitor{&run.totalBytes, AddFileSize, nullptr}, operands[0],
                   operands[0]);
  }
  ZipFolderOptions options{};
  options.size = sizeof options;
  options.callback = OnEvent;
  options.context = &run;
  options.threads = threads;
  options.level = level;
  const std::int32_t status = zf::PackFolderReporting(operands[0], operands[1], &options);
  EraseProgress(&run);
  if (status != ZIPFOLDER_DONE && status != ZIPFOLDER_DONE_LEFT_OUT) {
    return ReportFailure(status, operands[0], operands[1], run);
  }
  if (!run.quiet) {
    const double seconds = static_cast<double>(zf::OsMonotonicNanoseconds() - run.start) / 1e9;
    std::printf("%" PRIu32 " entries, %" PRIu64 " bytes read, archive %" PRIu64 " bytes, %" PRIu32
                " left out, %.2f s\n",
                run.entries, run.addedBytes, run.archiveBytes, run.leftOut, seconds);
  }
  return status == ZIPFOLDER_DONE_LEFT_OUT ? kExitLeftOut : 0;
}

}  // namespace

#if defined(_WIN32)
// The library takes UTF-8 paths; Windows hands a program its arguments in
// UTF-16 only if it asks (wmain), and in the ANSI code page, which cannot
// spell every name, otherwise.
int wmain(int argc, wchar_t** argv) {
  auto** arguments = static_cast<char**>(zf::OsAllocate(sizeof(char*) * (argc + 1u)));
  if (arguments == nullptr) return 1;
  int converted = 0;
  while (converted < argc && (arguments[converted] = zf::OsWideToUtf8(argv[converted])) != nullptr)
    ++converted;
  arguments[converted] = nullptr;
  const int status = converted == argc ? RunTool(argc, arguments) : 1;
  for (int i = 0; i < converted; ++i) zf::OsRelease(arguments[i]);
  zf::OsRelease(arguments);
  return status;
}
#else
int main(int argc, char** argv) { return RunTool(argc, argv); }
#endif
