// zipfolder: the command-line face of the library. It packs through the
// reporting function the library exports and turns its events into what
// archiver users expect: each file left out named on stderr, an exit status
// that says how it went, a listing with -v and a progress line on a terminal.
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entry/pack_folder.h"
#include "entry/selection.h"
#include "zipfolder.h"
#include "zipwriter/format_numbers.h"
#include "zipwriter/source_details.h"

namespace {

constexpr const char* kUsage =
    "usage: zipfolder [OPTIONS] SOURCE_FOLDER ARCHIVE\n"
    "Packs every file below SOURCE_FOLDER into the new ZIP archive ARCHIVE,\n"
    "named by its path below SOURCE_FOLDER. An existing ARCHIVE is replaced\n"
    "only once the new one is complete. With ARCHIVE '-' the archive goes to\n"
    "standard output, and into a FIFO, pipe or device named as ARCHIVE it is\n"
    "streamed; all messages then go to stderr.\n"
    "\n"
    "  -q         print nothing but errors and the files left out\n"
    "  -v         list each file as it is added, with its method and ratio\n"
    "  -0 ... -9, --level=N\n"
    "             compression level: 1 fastest, 9 smallest, 0 stores every\n"
    "             file uncompressed (default: 8)\n"
    "  -T N, --threads=N\n"
    "             compress N files at once (default: one per processor);\n"
    "             the archive is the same for every N\n"
    "  -x PATTERN, --exclude=PATTERN\n"
    "             leave out what matches PATTERN, a .gitignore line matched\n"
    "             against names below SOURCE_FOLDER (repeatable; '!' takes a\n"
    "             name back in; an excluded folder is not walked)\n"
    "  --exclude-from=FILE\n"
    "             the same for each line of FILE (blank lines and lines\n"
    "             starting with '#' are ignored)\n"
    "  -i PATTERN, --include=PATTERN\n"
    "             pack only files that match one such PATTERN (repeatable)\n"
    "  --gitignore\n"
    "             leave out what git would not track: the rules of every\n"
    "             .gitignore and of .git/info/exclude, and .git itself\n"
    "  --prefix=PATH\n"
    "             start every name in the archive with PATH/\n"
    "  --folders=none|empty|all\n"
    "             store entries for no folder (the default), for folders\n"
    "             with nothing else below them, or for every folder\n"
    "  --symlinks store symbolic links as links instead of following them\n"
    "             (POSIX; on Windows links are followed)\n"
    "  --sort     take each folder's names in byte order, the same on\n"
    "             every file system\n"
    "  --store=LIST\n"
    "             store files whose extension is in LIST (comma-separated,\n"
    "             e.g. 'jpg,zst'; '' for none) as they are, instead of the\n"
    "             built-in list of compressed formats (see the manual)\n"
    "  --always-deflate\n"
    "             keep a file deflated even when that does not make it\n"
    "             smaller (by default it is stored)\n"
    "  --no-unix-modes\n"
    "             store modes made up from the attributes, under an NTFS\n"
    "             host, instead of each file's own POSIX mode\n"
    "  --force    replace ARCHIVE even when it is a file but no ZIP archive\n"
    "  --mtime-ceiling=SECONDS\n"
    "             store no time later than SECONDS since 1970; the\n"
    "             environment's SOURCE_DATE_EPOCH does the same\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "A reproducible archive of a git checkout, without .git and its ignored\n"
    "files:\n"
    "  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) \\\n"
    "    zipfolder --gitignore --sort --prefix=project . ../project.zip\n"
    "\n"
    "Exit status: 0 every file packed; 3 the archive is written but some\n"
    "files were left out (each is named on stderr); 1 the source cannot be\n"
    "read, or the archive cannot be created or written (nothing is replaced;\n"
    "a streamed archive is incomplete); 2 wrong arguments, standard output\n"
    "is a terminal for '-', or ARCHIVE is a file that is no ZIP archive and\n"
    "--force is not given; 128+N ended by signal N (130: Ctrl-C), nothing\n"
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
  bool streamed;   // the archive goes to a stream: what failed cannot be undone
  FILE* messages;  // the listing and the summary: stdout, or stderr when it holds the archive
  std::int32_t writeError;   // the system's error of a failed write to standard output
  bool progress;             // stderr is a terminal
  std::uint64_t totalBytes;  // of the first walk, for the percentage
  std::uint64_t addedBytes;
  std::uint64_t archiveBytes;
  std::uint64_t start;  // OsMonotonicNanoseconds
  std::uint64_t lastDraw;
  int drawnWidth;  // columns of the progress line on the screen, 0 when none
  std::uint32_t entries;
  std::uint32_t leftOut;
  std::uint32_t excluded;
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
        // A file that grew says by how much; a stored one neither grew nor shrank.
        const bool grew = event->compressedSize > event->size && event->size != 0;
        const std::uint64_t change =
            grew ? event->compressedSize - event->size : event->size - event->compressedSize;
        PrintEscaped(run->messages, event->name);
        std::fprintf(
            run->messages, " (%s %s%" PRIu64 "%%)\n", event->method == 0 ? "stored" : "deflated",
            grew ? "-" : "",
            event->size == 0 ? 0 : (change * 100 + (grew ? event->size - 1 : 0)) / event->size);
        std::fflush(run->messages);
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
  run->excluded = event->filesExcluded;
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

// The archive's bytes for standard output, through the library's write
// function like any caller's.
int WriteToStandardOutput(void* context, const void* bytes, size_t length) {
  auto* run = static_cast<Run*>(context);
  std::uint32_t written = 0;
  const auto count = static_cast<std::uint32_t>(length);
  if (zf::OsWrite(zf::OsStandardOutput(), bytes, count, &written) && written == count) return 0;
  run->writeError = zf::OsLastError();
  return 1;
}

int ReportFailure(std::int32_t status, const char* source, const char* archive, const Run& run) {
  char systemText[160] = "";
  if (run.writeError != 0) zf::OsErrorText(run.writeError, systemText, sizeof systemText);
  const char* why = systemText[0] != 0        ? systemText
                    : run.failureText[0] != 0 ? run.failureText
                                              : "unknown failure";
  // Bytes a stream has taken stay with its reader, who must not trust them.
  const char* outcome = run.streamed ? "is incomplete" : "not written";
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
                   archive, run.streamed ? "' is incomplete: " : "' not written: ", why);
      break;
    case ZIPFOLDER_CANCELLED:
      PrintFailure("zipfolder: interrupted, '", archive, "' ", outcome);
      break;
    case ZIPFOLDER_BAD_ARGUMENT:
      std::fprintf(stderr,
                   "zipfolder: --prefix needs folder names with '/' between them, "
                   "no leading '/' and no '.' or '..'\n%s",
                   kUsage);
      return 2;
    default:
      PrintFailure("zipfolder: out of memory while writing '", archive, "'", "");
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

// Patterns in the order the arguments give them, since the last match wins.
struct Patterns {
  const char** items;
  std::uint32_t count;
  std::uint32_t capacity;
};

bool AddPattern(Patterns* list, const char* pattern) {
  if (list->count == list->capacity) {
    const std::uint32_t capacity = list->capacity == 0 ? 16 : list->capacity * 2;
    auto** items = static_cast<const char**>(zf::OsAllocate(sizeof(char*) * capacity));
    if (items == nullptr) return false;
    if (list->count != 0) std::memcpy(items, list->items, sizeof(char*) * list->count);
    zf::OsRelease(list->items);
    list->items = items;
    list->capacity = capacity;
  }
  list->items[list->count++] = pattern;
  return true;
}

// The files of --exclude-from, held until the end: their lines are the patterns.
struct TextBlock {
  TextBlock* next;
  char bytes[1];
};

// Adds the lines of the file at path but blank ones and comments; false
// when it cannot be read.
bool AddPatternFile(Patterns* list, TextBlock** texts, const char* path) {
  const zf::OsFile file = zf::OsOpenSource(path);
  if (file == zf::kNoFile) return false;
  zf::OsFileFacts facts{};
  bool ok = zf::OsGetFacts(file, &facts) && facts.size < (std::uint64_t{1} << 30);
  TextBlock* block = nullptr;
  std::uint32_t got = 0;
  if (ok) {
    const std::size_t size = static_cast<std::size_t>(facts.size);
    block = static_cast<TextBlock*>(zf::OsAllocate(offsetof(TextBlock, bytes) + size + 1));
    ok = block != nullptr && zf::OsRead(file, block->bytes, static_cast<std::uint32_t>(size), &got);
  }
  zf::OsClose(file);
  if (!ok) {
    zf::OsRelease(block);
    return false;
  }
  block->next = *texts;
  *texts = block;
  char* const stop = block->bytes + got;
  *stop = 0;
  for (char* line = block->bytes; line < stop;) {
    char* end = line;
    while (end < stop && *end != '\n') ++end;
    char* const next = end + 1;
    if (end > line && end[-1] == '\r') --end;
    *end = 0;
    if (*line != 0 && *line != '#' && !AddPattern(list, line)) return false;
    line = next;
  }
  return true;
}

// Decimal seconds since 1970, as SOURCE_DATE_EPOCH has them.
bool ParseSeconds(const char* text, std::int64_t* seconds) {
  if (text == nullptr || *text == 0) return false;
  std::int64_t value = 0;
  for (; *text != 0; ++text) {
    if (*text < '0' || *text > '9') return false;
    const int digit = *text - '0';
    if (value > (INT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *seconds = value;
  return true;
}

// The value of an option given as "--name=VALUE", or as "-x VALUE" for its
// short form; null when arg is neither.
const char* OptionValue(const char* shortName, const char* longName, int argc, char** argv,
                        int* i) {
  const char* arg = argv[*i];
  if (shortName != nullptr && std::strcmp(arg, shortName) == 0) {
    return *i + 1 < argc ? argv[++*i] : "";
  }
  const std::size_t length = std::strlen(longName);
  if (std::strncmp(arg, longName, length) == 0 && arg[length] == '=') return arg + length + 1;
  return nullptr;
}

// message holds one "%s", where arg goes, escaped.
int Usage(const char* message, const char* arg) {
  const char* at = std::strstr(message, "%s");
  std::fputs("zipfolder: ", stderr);
  std::fwrite(message, 1, static_cast<std::size_t>(at - message), stderr);
  PrintEscaped(stderr, arg);
  std::fprintf(stderr, "%s\n%s", at + 2, kUsage);
  return 2;
}

// Everything the arguments choose, and what must be released after the run.
struct Arguments {
  Run run;
  ZipFolderOptions options;
  Patterns exclude;
  Patterns include;
  TextBlock* texts;
  const char* operands[2];
  bool selecting;  // a pattern or --gitignore was given: the summary counts the excluded
  bool force;      // --force: a file that is no archive may be replaced too
};

void ReleaseArguments(Arguments* arguments) {
  zf::OsRelease(arguments->exclude.items);
  zf::OsRelease(arguments->include.items);
  while (TextBlock* block = arguments->texts) {
    arguments->texts = block->next;
    zf::OsRelease(block);
  }
}

// Reads the arguments; -1 to go on, else the exit status.
int ParseArguments(int argc, char** argv, Arguments* a) {
  std::uint32_t threads = zf::OsProcessorCount();
  int count = 0;
  bool optionsEnded = false;
  bool ceilingGiven = false;
  std::uint32_t flags = 0;
  bool unixModes = true;
  bool storeIncompressible = true;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (optionsEnded || arg[0] != '-' || arg[1] == 0) {
      if (count == 2) return Usage("too many arguments%s", "");
      a->operands[count++] = arg;
      continue;
    }
    const char* value = nullptr;
    if (std::strcmp(arg, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(arg, "--version") == 0) {
      std::puts("zipfolder 1.0.0");
      return 0;
    } else if ((value = OptionValue("-T", "--threads", argc, argv, &i)) != nullptr) {
      threads = ParseThreads(value);
      if (threads == 0) return Usage("-T needs a number from 1 to 256%s", "");
    } else if ((value = OptionValue("-x", "--exclude", argc, argv, &i)) != nullptr) {
      if (*value == 0) return Usage("%s needs a pattern", arg);
      if (!AddPattern(&a->exclude, value)) return Usage("out of memory%s", "");
      a->selecting = true;
    } else if ((value = OptionValue("-i", "--include", argc, argv, &i)) != nullptr) {
      if (*value == 0) return Usage("%s needs a pattern", arg);
      if (!AddPattern(&a->include, value)) return Usage("out of memory%s", "");
      a->selecting = true;
    } else if ((value = OptionValue(nullptr, "--exclude-from", argc, argv, &i)) != nullptr) {
      if (!AddPatternFile(&a->exclude, &a->texts, value)) {
        return Usage("cannot read the patterns of '%s'", value);
      }
      a->selecting = true;
    } else if ((value = OptionValue(nullptr, "--store", argc, argv, &i)) != nullptr) {
      a->options.storedTypes = value;
    } else if ((value = OptionValue(nullptr, "--prefix", argc, argv, &i)) != nullptr) {
      a->options.prefix = value;
    } else if ((value = OptionValue(nullptr, "--folders", argc, argv, &i)) != nullptr) {
      if (std::strcmp(value, "none") == 0) {
        a->options.folders = ZIPFOLDER_FOLDERS_NONE;
      } else if (std::strcmp(value, "empty") == 0) {
        a->options.folders = ZIPFOLDER_FOLDERS_EMPTY;
      } else if (std::strcmp(value, "all") == 0) {
        a->options.folders = ZIPFOLDER_FOLDERS_ALL;
      } else {
        return Usage("--folders takes none, empty or all, not '%s'", value);
      }
    } else if ((value = OptionValue(nullptr, "--mtime-ceiling", argc, argv, &i)) != nullptr) {
      if (!ParseSeconds(value, &a->options.mtimeCeiling)) {
        return Usage("--mtime-ceiling needs decimal seconds since 1970, not '%s'", value);
      }
      ceilingGiven = true;
    } else if (std::strcmp(arg, "--gitignore") == 0) {
      flags |= ZIPFOLDER_FLAG_GITIGNORE;
      a->selecting = true;
    } else if (std::strcmp(arg, "--symlinks") == 0) {
      flags |= ZIPFOLDER_FLAG_SYMLINKS;
    } else if (std::strcmp(arg, "--always-deflate") == 0) {
      storeIncompressible = false;
    } else if (std::strcmp(arg, "--no-unix-modes") == 0) {
      unixModes = false;
    } else if (std::strcmp(arg, "--force") == 0) {
      a->force = true;
    } else if (std::strcmp(arg, "--sort") == 0) {
      flags |= ZIPFOLDER_FLAG_SORT;
    } else if (std::strncmp(arg, "--level=", 8) == 0 || (arg[1] >= '0' && arg[1] <= '9')) {
      a->options.level = ParseLevel(arg[1] == '-' ? arg + 8 : arg + 1);
      if (a->options.level == -2) return Usage("the level is a digit from 0 to 9%s", "");
    } else if (std::strcmp(arg, "-q") == 0) {
      a->run.quiet = true;
    } else if (std::strcmp(arg, "-v") == 0) {
      a->run.verbose = true;
    } else if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else {
      return Usage("unknown option '%s'", arg);
    }
  }
  if (count != 2 || *a->operands[0] == 0 || *a->operands[1] == 0) {
    return Usage("expected a source folder and an archive path%s", "");
  }
  // The convention of reproducible builds; the flag, when given, wins.
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (!ceilingGiven && epoch != nullptr && *epoch != 0) {
    if (!ParseSeconds(epoch, &a->options.mtimeCeiling)) {
      return Usage("SOURCE_DATE_EPOCH must be decimal seconds since 1970, not '%s'", epoch);
    }
    ceilingGiven = true;
  }
  if (ceilingGiven) flags |= ZIPFOLDER_FLAG_MTIME_CEILING;
  if (unixModes) flags |= ZIPFOLDER_FLAG_UNIX_MODES;
  if (storeIncompressible) flags |= ZIPFOLDER_FLAG_STORE_INCOMPRESSIBLE;
  flags |= ZIPFOLDER_FLAG_STORE_TYPES;
  a->options.size = sizeof a->options;
  a->options.threads = threads;
  a->options.flags = flags;
  a->options.exclude = a->exclude.items;
  a->options.excludeCount = a->exclude.count;
  a->options.include = a->include.items;
  a->options.includeCount = a->include.count;
  return -1;
}

// Whether the file at path may be replaced by an archive: nothing there, no
// regular file, an empty one, or one that starts as an archive does (a
// local header, or the end record of an archive without entries). A slip of
// the arguments must not cost a file that is something else.
bool MayReplace(const char* path) {
  const zf::OsFile file = zf::OsOpenSource(path);
  if (file == zf::kNoFile) return true;
  std::uint8_t start[4] = {};
  std::uint32_t got = 0;
  const bool read = zf::OsRead(file, start, sizeof start, &got);
  zf::OsClose(file);
  if (!read || got == 0) return true;
  const std::uint32_t signature =
      start[0] | start[1] << 8 | start[2] << 16 | static_cast<std::uint32_t>(start[3]) << 24;
  return got == sizeof start &&
         (signature == zf::kLocalHeaderSignature || signature == zf::kEndRecordSignature);
}

// The first walk, for the percentage, chooses as the packing will.
void AddUpSizes(Arguments* a) {
  zf::Selection selection;
  if (zf::OpenSelection(&selection, &a->options, a->operands[0]) == ZIPFOLDER_DONE) {
    zf::WalkFolder(zf::WalkVisitor{&a->run.totalBytes, AddFileSize, nullptr, nullptr, nullptr},
                   a->operands[0], a->operands[0], &selection.rules);
  }
  zf::CloseSelection(&selection);
}

int Pack(Arguments* a) {
  Run& run = a->run;
  if (run.quiet) run.verbose = false;
  const char* const* operands = a->operands;
  const bool toStandardOutput = std::strcmp(operands[1], "-") == 0;
  if (toStandardOutput && zf::OsStandardOutputIsTerminal()) {
    std::fprintf(stderr,
                 "zipfolder: will not write an archive to a terminal; redirect standard "
                 "output or name an ARCHIVE\n");
    return 2;
  }
  run.streamed = toStandardOutput || zf::OsIsStream(operands[1]);
  // The source is looked at first, so that a wrong source is told as such.
  if (!run.streamed && !a->force && zf::OsIsFolder(operands[0]) && !MayReplace(operands[1])) {
    std::fputs("zipfolder: '", stderr);
    PrintEscaped(stderr, operands[1]);
    std::fputs("' exists and is not a ZIP archive; not replaced (--force replaces it)\n", stderr);
    return 2;
  }
  run.messages = run.streamed ? stderr : stdout;
  const char* archiveName = toStandardOutput ? "standard output" : operands[1];
  run.progress = !run.quiet && zf::OsErrorStreamIsTerminal();
  CatchEndingSignals();

  run.start = zf::OsMonotonicNanoseconds();
  if (run.progress && zf::OsIsFolder(a->operands[0])) AddUpSizes(a);
  a->options.callback = OnEvent;
  a->options.context = &run;
  if (toStandardOutput) {
    a->options.write = WriteToStandardOutput;
    a->options.writeContext = &run;
  }
  const std::int32_t status = CompFilesToZipFileEx(
      a->operands[0], toStandardOutput ? nullptr : a->operands[1], &a->options);
  EraseProgress(&run);
  // A signal ends the tool as the signal would have, once the archive is
  // removed, or complete if it came too late to stop it.
  const int exitStatus = status != ZIPFOLDER_DONE && status != ZIPFOLDER_DONE_LEFT_OUT
                             ? ReportFailure(status, a->operands[0], archiveName, run)
                             : -1;
  if (caughtSignal != 0) return kExitSignalled + caughtSignal;
  if (exitStatus >= 0) return exitStatus;
  if (!run.quiet) {
    const double seconds = static_cast<double>(zf::OsMonotonicNanoseconds() - run.start) / 1e9;
    char excluded[32] = "";
    if (a->selecting)
      std::snprintf(excluded, sizeof excluded, "%" PRIu32 " excluded, ", run.excluded);
    std::fprintf(run.messages,
                 "%" PRIu32 " entries, %" PRIu64 " bytes read, archive %" PRIu64 " bytes, %" PRIu32
                 " left out, %s%.2f s\n",
                 run.entries, run.addedBytes, run.archiveBytes, run.leftOut, excluded, seconds);
  }
  return status == ZIPFOLDER_DONE_LEFT_OUT ? kExitLeftOut : 0;
}

int RunTool(int argc, char** argv) {
  // Before any file is opened: else the archive could take the number of a
  // closed standard stream and receive the tool's messages.
  if (!zf::OsOpenStandardStreams()) return 1;
  Arguments arguments{};
  int status = ParseArguments(argc, argv, &arguments);
  if (status < 0) status = Pack(&arguments);
  ReleaseArguments(&arguments);
  return status;
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
