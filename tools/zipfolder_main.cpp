// zipfolder: the command-line face of the library. It packs through the
// reporting function the library exports and turns its events into what
// archiver users expect: each file left out named on stderr, an exit status
// that says how it went, a listing with -v and a progress line on a terminal.
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "entry/pack_folder.h"
#include "entry/report.h"
#include "zipfolder.h"
#include "zipwriter/source_details.h"

namespace {

constexpr const char* kUsage =
    "usage: zipfolder [-q|-v] [-T N] SOURCE_FOLDER ARCHIVE\n"
    "Packs every file below SOURCE_FOLDER into the new ZIP archive ARCHIVE,\n"
    "named by its path below SOURCE_FOLDER. An existing ARCHIVE is replaced\n"
    "only once the new one is complete.\n"
    "\n"
    "  -q         print nothing but errors and the files left out\n"
    "  -v         list each file as it is added, with its method and ratio\n"
    "  -T N, --threads=N\n"
    "             compress N files at once (default: one per processor);\n"
    "             the archive is the same for every N\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Exit status: 0 every file packed; 3 the archive is written but some\n"
    "files were left out (each is named on stderr); 1 the source cannot be\n"
    "read, or the archive cannot be created or written (nothing is replaced);\n"
    "2 wrong arguments; 128+N ended by signal N (130: Ctrl-C), nothing\n"
    "replaced unless the archive was complete.\n";

constexpr int kExitLeftOut = 3;
constexpr int kExitSignalled = 128;
constexpr std::uint64_t kRedrawEvery = 200'000'000;  // nanoseconds
constexpr int kProgressColumns = 79;

// The first of the signals that end the tool, set by its handler and read
// by the callback, which then cancels: the unfinished archive is removed
// rather than left behind. 0 while none came. Atomic, as the signal may
// come on a worker thread; lock-free, as a handler may use nothing else.
std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnEndingSignal(int number) {
  int none = 0;
  caughtSignal.compare_exchange_strong(none, number);
}

// Each signal that would end the tool, unless its caller ignores it (as
// nohup does): a write to a closed pipe or past the file size limit then
// fails as a write.
void CatchEndingSignals() {
  static constexpr int kEnding[] = {
    SIGINT,
    SIGTERM,
#if defined(SIGHUP)
    SIGHUP,
#endif
#if defined(SIGPIPE)
    SIGPIPE,
#endif
#if defined(SIGXFSZ)
    SIGXFSZ,
#endif
  };
  for (const int number : kEnding) {
    if (std::signal(number, OnEndingSignal) == SIG_IGN) std::signal(number, SIG_IGN);
  }
}

// Text from outside (names, paths) as it is safe to print: control
// characters as \n, \t, \r or \xHH, bytes that are not UTF-8 and the C1
// controls as \xHH, and a backslash doubled where it is no separator, so
// that no name forges a line or sends the terminal a command. Puts the form
// of the character at text into out; returns the bytes it took.
std::size_t EscapeOne(const char* text, char (&out)[12]) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const unsigned byte = bytes[0];
  const std::size_t length = zf::Utf8CharacterLength(bytes);
  const char* named = byte == '\n' ? "\\n" : byte == '\t' ? "\\t" : byte == '\r' ? "\\r" : nullptr;
  if (byte == '\\' && zf::kPathSeparator != '\\') named = "\\\\";
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
  // The name's tail, which tells most, fills the rest of the line; no
  // more of it is escaped than can show.
  const char* name = event.name != nullptr ? event.name : "";
  const std::size_t nameLength = std::strlen(name);
  const char* tail = nameLength > kProgressColumns ? name + nameLength - kProgressColumns : name;
  while (tail > name && (static_cast<unsigned char>(*tail) & 0xC0) == 0x80) --tail;
  char escaped[4 * kProgressColumns + 12];
  std::size_t length = 0;
  while (*tail != 0) {
    char form[12];
    tail += EscapeOne(tail, form);
    const std::size_t formLength = std::strlen(form);
    std::memcpy(escaped + length, form, formLength + 1);
    length += formLength;
  }
  const std::size_t room = static_cast<std::size_t>(kProgressColumns - used);
  if (length > room && room > 3) {
    std::snprintf(line + used, room + 1, "...%s", escaped + length - (room - 3));
  } else {
    std::snprintf(line + used, room + 1, "%s", escaped);
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
      if (run->verbose && caughtSignal == 0) {
        EraseProgress(run);
        const std::uint64_t saved =
            event->size > event->compressedSize ? event->size - event->compressedSize : 0;
        PrintEscaped(stdout, event->name);
        std::printf(" (%s %" PRIu64 "%%)\n", event->method == 0 ? "stored" : "deflated",
                    event->size == 0 ? 0 : saved * 100 / event->size);
        std::fflush(stdout);
      }
      break;
    case ZIPFOLDER_EVENT_LEFT_OUT:
      EraseProgress(run);
      std::fputs("zipfolder: left out ", stderr);
      PrintEscaped(stderr, event->name);
      std::fputs(": ", stderr);
      PrintEscaped(stderr, event->reasonText);
      std::fputc('\n', stderr);
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
  return caughtSignal != 0 ? 1 : 0;
}

// The first walk, for the percentage: sizes only, with the rules of the
// real walk, so that the two agree on what there is.
bool AddFileSize(void* context, const char* path, const char*) {
  const zf::OsFile file = zf::OsOpenSource(path);
  if (file == zf::kNoFile) return true;
  zf::OsFileFacts facts;
  if (zf::OsGetFacts(file, &facts)) *static_cast<std::uint64_t*>(context) += facts.size;
  zf::OsClose(file);
  return caughtSignal == 0;
}

// One line: what failed, the path concerned, escaped, and why.
void PrintFailure(const char* before, const char* path, const char* after, const char* why) {
  std::fputs(before, stderr);
  PrintEscaped(stderr, path);
  std::fputs(after, stderr);
  PrintEscaped(stderr, why);
  std::fputc('\n', stderr);
}

int ReportFailure(std::int32_t status, const char* source, const char* archive, const Run& run) {
  const char* why = run.failureText[0] != 0 ? run.failureText : "unknown failure";
  switch (status) {
    case ZIPFOLDER_NO_SOURCE:
      if (run.failureError == 0) why = "not a folder";
      PrintFailure("zipfolder: cannot read the folder '", source, "': ", why);
      break;
    case ZIPFOLDER_CANNOT_CREATE:
      PrintFailure("zipfolder: cannot create the archive '", archive, "': ", why);
      break;
    case ZIPFOLDER_DISK_FULL:
    case ZIPFOLDER_WRITE_FAILED:
      PrintFailure(status == ZIPFOLDER_DISK_FULL ? "zipfolder: writing failed (disk full), '"
                                                 : "zipfolder: writing failed, '",
                   archive, "' not written: ", why);
      break;
    case ZIPFOLDER_CANCELLED:
      PrintFailure("zipfolder: interrupted, '", archive, "' not written", "");
      break;
    default:
      PrintFailure("zipfolder: out of memory while writing '", archive, "'", "");
      break;
  }
  return 1;
}

int RunTool(int argc, char** argv) {
  // Before any file is opened: else the archive could take the number of a
  // closed standard stream and receive the tool's messages.
  if (!zf::OsOpenStandardStreams()) return 1;
  Run run{};
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
      run.quiet = true;
    } else if (!optionsEnded && std::strcmp(arg, "-v") == 0) {
      run.verbose = true;
    } else if (!optionsEnded && std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (!optionsEnded && arg[0] == '-' && arg[1] != 0) {
      PrintFailure("zipfolder: unknown option '", arg, "'", "");
      std::fputs(kUsage, stderr);
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
  CatchEndingSignals();

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
  const std::int32_t status = zf::PackFolderReporting(operands[0], operands[1], &options);
  EraseProgress(&run);
  // A signal ends the tool as the signal would have, once the archive is
  // removed, or complete if it came too late to stop it.
  const int exitStatus = status != ZIPFOLDER_DONE && status != ZIPFOLDER_DONE_LEFT_OUT
                             ? ReportFailure(status, operands[0], operands[1], run)
                             : -1;
  if (caughtSignal != 0) return kExitSignalled + caughtSignal;
  if (exitStatus >= 0) return exitStatus;
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
