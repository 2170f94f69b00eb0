// zipfolder: the command-line face of the library. It is a caller like any
// other: it packs through CompFilesToZipFileEx and turns its events into
// what archiver users expect: each file left out named on stderr, an exit
// status that says how it went, a listing with -v, a dry run with -n, a
// progress line on a terminal, and with --json what scripts read.
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool_options.h"
#include "tool_output.h"
#include "tool_system.h"
#include "zipfolder.h"

namespace {

using tool::FormatSize;
using tool::PrintEscaped;
using tool::PrintJsonString;

constexpr int kExitFailed = 1;
constexpr int kExitLeftOut = 3;
constexpr int kExitSignalled = 128;
constexpr double kRedrawSeconds = 0.2;
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

// What --json reports besides the counters, kept from the events.
struct Kept {
  char* name;  // from malloc
  char* text;  // from malloc; null when none
  std::uint64_t size;
  std::int32_t code;
  std::int32_t systemError;
};

struct KeptList {
  Kept* items;
  std::uint32_t count;
  std::uint32_t capacity;
};

char* Copy(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

// False when memory is short; the item is then not kept.
bool Keep(KeptList* list, const char* name, const char* text, std::uint64_t size, std::int32_t code,
          std::int32_t systemError) {
  if (list->count == list->capacity) {
    const std::uint32_t capacity = list->capacity == 0 ? 64 : list->capacity * 2;
    auto* items = static_cast<Kept*>(std::realloc(list->items, sizeof(Kept) * capacity));
    if (items == nullptr) return false;
    list->items = items;
    list->capacity = capacity;
  }
  Kept kept{Copy(name), Copy(text), size, code, systemError};
  if (kept.name == nullptr || (text != nullptr && kept.text == nullptr)) {
    std::free(kept.name);
    std::free(kept.text);
    return false;
  }
  list->items[list->count++] = kept;
  return true;
}

void Release(KeptList* list) {
  for (std::uint32_t i = 0; i < list->count; ++i) {
    std::free(list->items[i].name);
    std::free(list->items[i].text);
  }
  std::free(list->items);
  *list = KeptList{};
}

struct Run {
  const tool::Choices* choices;
  bool streamed;        // the archive goes to a stream: what failed cannot be undone
  std::FILE* messages;  // the listing and the summary: stdout, or stderr when it holds the archive
  int writeError;       // errno of a failed write to standard output
  bool progress;        // stderr is a terminal
  double start;         // MonotonicSeconds
  double lastDraw;
  int drawnWidth;  // columns of the progress line on the screen, 0 when none
  std::uint64_t addedBytes;
  std::uint64_t readAtAdded;  // bytesRead at the last ADDED event
  std::uint64_t archiveBytes;
  std::uint64_t bytesRead;
  std::uint64_t bytesTotal;
  std::uint32_t entriesTotal;
  std::uint32_t entries;
  std::uint32_t leftOut;
  std::uint32_t excluded;
  std::uint32_t foldersExcluded;
  std::int32_t failureError;  // the FAILED event's, kept past the callback
  char failureText[200];
  KeptList leftOutItems;  // with --json
  KeptList unmatched;     // with --json
  KeptList listed;        // with --json and --dry-run
};

double Seconds(const Run& run) { return tool::MonotonicSeconds() - run.start; }

void EraseProgress(Run* run) {
  if (run->drawnWidth == 0) return;
  std::fprintf(stderr, "\r%*s\r", run->drawnWidth, "");
  std::fflush(stderr);
  run->drawnWidth = 0;
}

// line, and as much of name's tail as fits, over the line drawn before.
void DrawLine(Run* run, const char* line, const char* name) {
  char shown[kProgressColumns + 1];
  std::size_t used = std::strlen(line);
  if (used > kProgressColumns) used = kProgressColumns;
  std::memcpy(shown, line, used);
  // The name's tail, which tells most, fills the rest of the line; no
  // more of it is escaped than can show.
  const std::size_t nameLength = std::strlen(name);
  const char* tail = nameLength > kProgressColumns ? name + nameLength - kProgressColumns : name;
  while (tail > name && (static_cast<unsigned char>(*tail) & 0xC0) == 0x80) --tail;
  char escaped[4 * kProgressColumns + 12];
  std::size_t length = 0;
  while (*tail != 0) {
    char form[12];
    tail += tool::EscapeOne(tail, form);
    const std::size_t formLength = std::strlen(form);
    std::memcpy(escaped + length, form, formLength);
    length += formLength;
  }
  const std::size_t room = kProgressColumns - used;
  const char* from = escaped;
  std::size_t count = length;
  if (length > room && room > 3) {
    std::memcpy(shown + used, "...", 3);
    used += 3;
    count = room - 3;
    from = escaped + length - count;
  } else if (length > room) {
    count = room;
  }
  std::memcpy(shown + used, from, count);
  shown[used + count] = 0;
  const int width = static_cast<int>(used + count);
  std::fprintf(stderr, "\r%s%*s", shown, run->drawnWidth > width ? run->drawnWidth - width : 0, "");
  std::fflush(stderr);
  run->drawnWidth = width > run->drawnWidth ? width : run->drawnWidth;
}

bool DrawDue(Run* run) {
  const double now = tool::MonotonicSeconds();
  if (run->drawnWidth != 0 && now - run->lastDraw < kRedrawSeconds) return false;
  run->lastDraw = now;
  return true;
}

// While counting: the entries found. Then: the share of the bytes read,
// files done of all, the rate, the time left and the file being read.
void DrawProgress(Run* run, const ZipFolderEvent& event) {
  if (!DrawDue(run)) return;
  char line[2 * kProgressColumns];
  if (event.kind == ZIPFOLDER_EVENT_COUNTING) {
    std::snprintf(line, sizeof line, "counting: %" PRIu32 " files found", event.entriesTotal);
    DrawLine(run, line, "");
    return;
  }
  const double seconds = Seconds(*run);
  // Files added, and what was read since: a file read twice (stored after
  // deflate did not shrink it) counts once when it is done.
  const std::uint64_t total = event.bytesTotal;
  const std::uint64_t reading = event.bytesRead - run->readAtAdded;
  const std::uint64_t done = run->addedBytes + reading < total ? run->addedBytes + reading : total;
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
  char rate[32];
  FormatSize(seconds > 0 ? static_cast<std::uint64_t>(static_cast<double>(done) / seconds) : 0,
             rate);
  char left[32] = "--:--";
  if (done != 0 && seconds >= 1) {
    tool::FormatDuration(seconds * static_cast<double>(total - done) / static_cast<double>(done),
                         left);
  }
  std::snprintf(line, sizeof line, "%3u%%  %" PRIu32 "/%" PRIu32 " files  %s/s  %s left  ", percent,
                event.entriesAdded + event.filesLeftOut, event.entriesTotal, rate, left);
  DrawLine(run, line, event.name != nullptr ? event.name : "");
}

// A pattern of -x or -i that matched nothing, and what was likely meant:
// patterns match names below the folder, not the folder's own name or
// "./". Those of an --exclude-from file, often written for many trees,
// are only in the JSON.
void WarnUnmatched(const Run& run, const char* pattern) {
  const tool::PatternList& named = run.choices->named;
  std::uint32_t i = 0;
  while (i < named.count && std::strcmp(named.items[i], pattern) != 0) ++i;
  if (i == named.count) return;
  std::fputs("zipfolder: warning: the pattern '", stderr);
  PrintEscaped(stderr, pattern);
  std::fputs("' matched nothing", stderr);
  const char* source = run.choices->source;
  std::size_t end = std::strlen(source);
  while (end > 1 && (source[end - 1] == '/' || source[end - 1] == '\\')) --end;
  std::size_t start = end;
  while (start > 0 && source[start - 1] != '/' && source[start - 1] != '\\') --start;
  const char* meant = nullptr;
  const char* bare = pattern[0] == '!' ? pattern + 1 : pattern;
  if (std::strncmp(bare, "./", 2) == 0) {
    meant = bare + 2;
  } else if (end > start && std::strncmp(bare, source + start, end - start) == 0 &&
             bare[end - start] == '/') {
    meant = bare + (end - start) + 1;
  }
  if (meant != nullptr && *meant != 0) {
    std::fputs("; patterns match names below the folder: try '", stderr);
    PrintEscaped(stderr, meant);
    std::fputs("'", stderr);
  }
  std::fputc('\n', stderr);
}

void PrintJsonLine(const Run& run, const ZipFolderEvent& event) {
  std::FILE* out = stdout;
  switch (event.kind) {
    case ZIPFOLDER_EVENT_ADDED:
      std::fputs("{\"event\":\"added\",\"name\":", out);
      PrintJsonString(out, event.name);
      std::fprintf(out,
                   ",\"size\":%" PRIu64 ",\"compressed_size\":%" PRIu64 ",\"method\":\"%s\"}\n",
                   event.size, event.compressedSize, event.method == 0 ? "stored" : "deflated");
      break;
    case ZIPFOLDER_EVENT_LISTED:
      std::fputs("{\"event\":\"listed\",\"name\":", out);
      PrintJsonString(out, event.name);
      std::fprintf(out, ",\"size\":%" PRIu64 "}\n", event.size);
      break;
    case ZIPFOLDER_EVENT_LEFT_OUT:
      std::fputs("{\"event\":\"left_out\",\"path\":", out);
      PrintJsonString(out, event.name);
      std::fputs(",\"reason\":", out);
      PrintJsonString(out, event.reasonText);
      std::fprintf(out, ",\"code\":%" PRId32 ",\"system_error\":%" PRId32 "}\n", event.reason,
                   event.systemError);
      break;
    case ZIPFOLDER_EVENT_UNMATCHED:
      std::fputs("{\"event\":\"unmatched\",\"pattern\":", out);
      PrintJsonString(out, event.name);
      std::fputs("}\n", out);
      break;
    default:
      return;
  }
  static_cast<void>(run);
  std::fflush(out);
}

void PrintListed(const Run& run, const ZipFolderEvent& event) {
  char size[32];
  FormatSize(event.size, size);
  std::fprintf(run.messages, "%12s  ", size);
  PrintEscaped(run.messages, event.name);
  std::fputc('\n', run.messages);
}

void PrintAdded(const Run& run, const ZipFolderEvent& event) {
  // A file that grew says by how much; a stored one neither grew nor shrank.
  const bool grew = event.compressedSize > event.size && event.size != 0;
  const std::uint64_t change =
      grew ? event.compressedSize - event.size : event.size - event.compressedSize;
  PrintEscaped(run.messages, event.name);
  std::fprintf(run.messages, " (%s %s%" PRIu64 "%%)\n", event.method == 0 ? "stored" : "deflated",
               grew ? "-" : "",
               event.size == 0 ? 0 : (change * 100 + (grew ? event.size - 1 : 0)) / event.size);
  std::fflush(run.messages);
}

int OnEvent(void* context, const ZipFolderEvent* event) {
  auto* run = static_cast<Run*>(context);
  const tool::Choices& choices = *run->choices;
  const bool lines = choices.json && choices.verbose;
  switch (event->kind) {
    case ZIPFOLDER_EVENT_PROGRESS:
    case ZIPFOLDER_EVENT_COUNTING:
      if (run->progress) DrawProgress(run, *event);
      break;
    case ZIPFOLDER_EVENT_LISTED:
      EraseProgress(run);
      if (lines) {
        PrintJsonLine(*run, *event);
      } else if (choices.json) {
        Keep(&run->listed, event->name, nullptr, event->size, 0, 0);
      } else if (!choices.quiet) {
        PrintListed(*run, *event);
      }
      break;
    case ZIPFOLDER_EVENT_ADDED:
      run->addedBytes += event->size;
      run->readAtAdded = event->bytesRead;
      if (choices.verbose && caughtSignal == 0) {
        EraseProgress(run);
        if (lines) {
          PrintJsonLine(*run, *event);
        } else {
          PrintAdded(*run, *event);
        }
      }
      break;
    case ZIPFOLDER_EVENT_LEFT_OUT:
      EraseProgress(run);
      std::fputs("zipfolder: left out ", stderr);
      PrintEscaped(stderr, event->name);
      std::fputs(": ", stderr);
      PrintEscaped(stderr, event->reasonText);
      std::fputc('\n', stderr);
      if (lines) PrintJsonLine(*run, *event);
      if (choices.json) {
        Keep(&run->leftOutItems, event->name, event->reasonText, 0, event->reason,
             event->systemError);
      }
      break;
    case ZIPFOLDER_EVENT_UNMATCHED:
      EraseProgress(run);
      WarnUnmatched(*run, event->name);
      if (lines) PrintJsonLine(*run, *event);
      if (choices.json) Keep(&run->unmatched, event->name, nullptr, 0, 0, 0);
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
  run->foldersExcluded = event->foldersExcluded;
  run->bytesRead = event->bytesRead;
  run->entriesTotal = event->entriesTotal;
  run->bytesTotal = event->bytesTotal;
  return caughtSignal != 0 ? 1 : 0;
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
  errno = 0;
  if (std::fwrite(bytes, 1, length, stdout) == length && std::fflush(stdout) == 0) return 0;
  run->writeError = errno != 0 ? errno : EIO;
  return 1;
}

int ReportFailure(std::int32_t status, const char* archive, const Run& run) {
  const tool::Choices& choices = *run.choices;
  char systemText[160] = "";
  if (run.writeError != 0) tool::ErrorText(run.writeError, systemText, sizeof systemText);
  const char* why = systemText[0] != 0        ? systemText
                    : run.failureText[0] != 0 ? run.failureText
                                              : ZipFolderStatusText(status);
  // Bytes a stream has taken stay with its reader, who must not trust them.
  const char* outcome = run.streamed ? "is incomplete" : "not written";
  switch (status) {
    case ZIPFOLDER_NO_SOURCE:
      if (run.failureError == 0) why = "not a folder";
      PrintFailure("zipfolder: cannot read the folder '", choices.source, "': ", why);
      break;
    case ZIPFOLDER_ALL_EXCLUDED:
      PrintFailure("zipfolder: the patterns left out every file below '", choices.source,
                   "'; no archive written", "");
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
    case ZIPFOLDER_NOT_SUPPORTED:
      PrintFailure("zipfolder: this build cannot encrypt (it has no cryptography library); '",
                   archive, "' not written", "");
      break;
    case ZIPFOLDER_BAD_ARGUMENT:
      // Every other argument is checked before the call.
      return tool::UsageError(
          "--prefix takes folder names with '/' between them, no leading '/' and no '.' or "
          "'..', not '%s'",
          choices.options.prefix);
    default:
      PrintFailure("zipfolder: out of memory while writing '", archive, "'", "");
      break;
  }
  return kExitFailed;
}

void PrintJsonKept(const char* key, const KeptList& list, bool withSize) {
  std::printf(",\"%s\":[", key);
  for (std::uint32_t i = 0; i < list.count; ++i) {
    const Kept& item = list.items[i];
    std::fputs(i == 0 ? "" : ",", stdout);
    if (item.text != nullptr) {
      std::fputs("{\"path\":", stdout);
      PrintJsonString(stdout, item.name);
      std::fputs(",\"reason\":", stdout);
      PrintJsonString(stdout, item.text);
      std::printf(",\"code\":%" PRId32 ",\"system_error\":%" PRId32 "}", item.code,
                  item.systemError);
    } else if (withSize) {
      std::fputs("{\"name\":", stdout);
      PrintJsonString(stdout, item.name);
      std::printf(",\"size\":%" PRIu64 "}", item.size);
    } else {
      PrintJsonString(stdout, item.name);
    }
  }
  std::fputs("]", stdout);
}

// The one object --json ends with: every count in exact numbers.
void PrintJsonSummary(const Run& run, std::int32_t status, int exitStatus) {
  const tool::Choices& choices = *run.choices;
  std::printf("{\"status\":%" PRId32 ",\"status_text\":", status);
  PrintJsonString(stdout, ZipFolderStatusText(status));
  std::printf(",\"exit\":%d,\"dry_run\":%s,\"source\":", exitStatus,
              choices.dryRun ? "true" : "false");
  PrintJsonString(stdout, choices.source);
  std::fputs(",\"archive\":", stdout);
  if (choices.archive != nullptr) {
    PrintJsonString(stdout, choices.archive);
  } else {
    std::fputs("null", stdout);
  }
  const std::uint32_t entries = choices.dryRun ? run.entriesTotal : run.entries;
  const std::uint64_t bytes = choices.dryRun ? run.bytesTotal : run.addedBytes;
  std::printf(",\"entries\":%" PRIu32 ",\"bytes\":%" PRIu64 ",\"archive_size\":%" PRIu64, entries,
              bytes, run.archiveBytes);
  if (!choices.dryRun && bytes != 0 && status <= ZIPFOLDER_DONE_LEFT_OUT) {
    std::printf(",\"ratio\":%.4f",
                static_cast<double>(run.archiveBytes) / static_cast<double>(bytes));
  } else {
    std::fputs(",\"ratio\":null", stdout);
  }
  std::printf(",\"seconds\":%.3f,\"excluded\":%" PRIu32 ",\"excluded_folders\":%" PRIu32
              ",\"left_out_count\":%" PRIu32,
              Seconds(run), run.excluded, run.foldersExcluded, run.leftOut);
  PrintJsonKept("left_out", run.leftOutItems, false);
  PrintJsonKept("unmatched", run.unmatched, false);
  if (choices.dryRun && !choices.verbose) PrintJsonKept("files", run.listed, true);
  std::fputs(",\"error\":", stdout);
  if (status > ZIPFOLDER_DONE_LEFT_OUT) {
    PrintJsonString(stdout,
                    run.failureText[0] != 0 ? run.failureText : ZipFolderStatusText(status));
  } else {
    std::fputs("null", stdout);
  }
  std::fputs("}\n", stdout);
  std::fflush(stdout);
}

void PrintSummary(const Run& run) {
  const tool::Choices& choices = *run.choices;
  char excluded[48] = "";
  if (choices.selecting) {
    std::snprintf(excluded, sizeof excluded, "%" PRIu32 " excluded, ", run.excluded);
  }
  char read[32];
  if (choices.dryRun) {
    FormatSize(run.bytesTotal, read);
    std::fprintf(run.messages,
                 "%" PRIu32 " entries, %s to read, %" PRIu32 " left out, %snothing written\n",
                 run.entriesTotal, read, run.leftOut, excluded);
    return;
  }
  char archive[32];
  FormatSize(run.addedBytes, read);
  FormatSize(run.archiveBytes, archive);
  std::fprintf(run.messages,
               "%" PRIu32 " entries, %s read, archive %s, %" PRIu32 " left out, %s%.2f s\n",
               run.entries, read, archive, run.leftOut, excluded, Seconds(run));
}

// Whether the file at path may be replaced by an archive: nothing there, no
// regular file, an empty one, or one that starts as an archive does (a
// local header, or the end record of an archive without entries). A slip of
// the arguments must not cost a file that is something else.
bool MayReplace(const char* path) {
  std::FILE* file = tool::IsFolder(path) ? nullptr : tool::OpenForReading(path);
  if (file == nullptr) return true;
  unsigned char start[4] = {};
  const std::size_t got = std::fread(start, 1, sizeof start, file);
  std::fclose(file);
  if (got == 0) return true;
  static constexpr unsigned char kLocalHeader[] = {'P', 'K', 3, 4};
  static constexpr unsigned char kEndRecord[] = {'P', 'K', 5, 6};
  return got == sizeof start &&
         (std::memcmp(start, kLocalHeader, 4) == 0 || std::memcmp(start, kEndRecord, 4) == 0);
}

int Pack(tool::Choices* choices) {
  Run run{};
  run.choices = choices;
  const char* source = choices->source;
  const char* archivePath = choices->archive;
  const bool toStandardOutput = archivePath != nullptr && std::strcmp(archivePath, "-") == 0;
  // The archive named first, as some archivers take it.
  if (archivePath != nullptr && !tool::IsFolder(source) && tool::IsFolder(archivePath)) {
    return tool::UsageError("'%s' is not a folder: the folder comes first, then the archive",
                            source);
  }
  if (!choices->dryRun && toStandardOutput && tool::IsTerminal(stdout)) {
    std::fprintf(stderr,
                 "zipfolder: will not write an archive to a terminal; redirect standard "
                 "output or name an ARCHIVE\n");
    return tool::kExitUsage;
  }
  run.streamed = toStandardOutput || (archivePath != nullptr && tool::IsStream(archivePath));
  // The source is looked at first, so that a wrong source is told as such.
  if (!choices->dryRun && !run.streamed && !choices->force && tool::IsFolder(source) &&
      !MayReplace(archivePath)) {
    std::fputs("zipfolder: '", stderr);
    PrintEscaped(stderr, archivePath);
    std::fputs("' exists and is not a ZIP archive; not replaced (--force replaces it)\n", stderr);
    return tool::kExitUsage;
  }
  run.messages = run.streamed && !choices->dryRun ? stderr : stdout;
  const char* archiveName = toStandardOutput ? "standard output" : archivePath;
  run.progress = !choices->quiet && tool::IsTerminal(stderr);
  CatchEndingSignals();

  ZipFolderOptions& options = choices->options;
  if (run.progress) options.flags |= ZIPFOLDER_FLAG_COUNT_FIRST;
  options.callback = OnEvent;
  options.context = &run;
  if (toStandardOutput && !choices->dryRun) {
    tool::SetBinaryOutput();
    options.write = WriteToStandardOutput;
    options.writeContext = &run;
  }
  run.start = tool::MonotonicSeconds();
  const std::int32_t status = CompFilesToZipFileEx(
      source, toStandardOutput || choices->dryRun ? nullptr : archivePath, &options);
  EraseProgress(&run);
  int exitStatus = status == ZIPFOLDER_DONE_LEFT_OUT ? kExitLeftOut : 0;
  if (status != ZIPFOLDER_DONE && status != ZIPFOLDER_DONE_LEFT_OUT) {
    exitStatus = ReportFailure(status, archiveName, run);
  }
  // A signal ends the tool as the signal would have, once the archive is
  // removed, or complete if it came too late to stop it.
  if (caughtSignal != 0) exitStatus = kExitSignalled + caughtSignal;
  if (choices->json && exitStatus != tool::kExitUsage) {
    PrintJsonSummary(run, status, exitStatus);
  } else if (!choices->quiet && caughtSignal == 0 &&
             (status == ZIPFOLDER_DONE || status == ZIPFOLDER_DONE_LEFT_OUT)) {
    PrintSummary(run);
  }
  Release(&run.leftOutItems);
  Release(&run.unmatched);
  Release(&run.listed);
  return exitStatus;
}

int RunTool(int argc, char** argv) {
  // Before any file is opened: else the archive could take the number of a
  // closed standard stream and receive the tool's messages.
  if (!tool::OpenStandardStreams()) return kExitFailed;
  tool::Choices choices{};
  int status = tool::ParseArguments(argc, argv, &choices);
  if (status == tool::kGoOn) status = Pack(&choices);
  tool::ReleaseChoices(&choices);
  return status;
}

}  // namespace

#if defined(_WIN32)
// The library takes UTF-8 paths; Windows hands a program its arguments in
// UTF-16 only if it asks (wmain), and in the ANSI code page, which cannot
// spell every name, otherwise.
int wmain(int argc, wchar_t** argv) {
  auto** arguments = static_cast<char**>(std::malloc(sizeof(char*) * (argc + 1u)));
  if (arguments == nullptr) return kExitFailed;
  int converted = 0;
  while (converted < argc && (arguments[converted] = tool::WideToUtf8(argv[converted])) != nullptr)
    ++converted;
  arguments[converted] = nullptr;
  const int status = converted == argc ? RunTool(argc, arguments) : kExitFailed;
  for (int i = 0; i < converted; ++i) std::free(arguments[i]);
  std::free(arguments);
  return status;
}
#else
int main(int argc, char** argv) { return RunTool(argc, argv); }
#endif
