// The reporting job behind CompFilesToZipFileEx.
//
// Unlike CompFilesToZipFile, which truncates the archive in place, this job
// writes a file of its own next to the archive and puts it in place at the
// end: a failed, cancelled or half-written run leaves whatever the user had
// at zipPath as it was, and never a partial archive under the final name.
// Where the system allows it, that file has no name until it is complete,
// so that not even a killed process leaves a half archive behind; elsewhere
// it has a temporary name with a random tail, removed when the job fails,
// and a stale one that a killed run left is never packed.
// An archive that goes to a stream (a FIFO, a device, the caller's write
// function) has no file of its own and nothing to rename: its bytes leave
// as they are made, and a failure leaves the reader with an incomplete
// archive, which it is told.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "entry/pack_folder.h"
#include "entry/pack_pipeline.h"
#include "entry/report.h"
#include "entry/selection.h"
#include "entry/survey.h"

namespace zf {
namespace {

// A temporary name is the archive's name, cut to kTempNameKeep bytes so
// that the tail fits in the system's limit for one name, then kTempMark,
// kTempDigits hexadecimal digits and kTempTail.
constexpr char kTempMark[] = ".zf";
constexpr char kTempTail[] = ".tmp";
constexpr std::size_t kTempDigits = 8;
constexpr std::size_t kTempNameKeep = 200;
constexpr int kTempTries = 64;

// One call of the job: its writer, its reporter and what it must not pack.
struct Job {
  ZipWriter* writer;
  Reporter reporter;
  const char* srcFolder;
  const char* zipPath;     // as the caller gave it
  const char* targetPath;  // where the archive goes: zipPath with its links followed
  char* tempPath;          // a temporary name next to targetPath
  std::size_t tempNameAt;  // where the last name of tempPath starts
  std::size_t tempMarkAt;  // where its kTempMark starts
  std::uint64_t tempSeed;  // for the next temporary name's digits
  OsFile output;           // the archive's file while the job holds it
  bool nameless;           // output has no name yet
  bool named;              // output is at tempPath, to be removed on failure
  OsFolderId zipId;        // the archive being replaced, when there is one
  OsFolderId folderId;     // the folder the archive goes to
  bool zipKnown;
  bool folderKnown;
  bool sourceUnlisted;       // the source folder's own listing failed
  std::int32_t outputError;  // ErrWrite, ErrSeek or ErrStreamBroken once the archive failed
  std::int32_t brokenBy;     // with ErrStreamBroken: why the entry failed
  char* brokenPath;          // and the file's path, from OsAllocate
  std::int32_t systemError;  // the system's error number of that failure
  std::uint64_t archiveBytes;
  std::uint32_t threads;    // workers compressing; below 2, none
  const char* scratchPath;  // spill files are named after it; null: none
  const Selection* selection;
  std::int32_t level;  // the writer's level (CallChoices::level)
  bool refuseEmpty;    // ZIPFOLDER_FLAG_REFUSE_EMPTY
  bool tellUnmatched;  // ZIPFOLDER_FLAG_TELL_UNMATCHED, once the walk is over
  const ZipFolderOptions* options;
};

char Folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool SameNameIgnoringCase(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (Folded(*a) != Folded(*b)) return false;
  }
  return *a == *b;
}

bool SameFile(const OsFolderId& a, const OsFolderId& b) {
  return a.volume == b.volume && a.index == b.index;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (Folded(c) >= 'a' && Folded(c) <= 'f'); }

// A name of the form this job gives its temporary files, this run's or one
// a killed run left: the archive's name cut as in tempPath, kTempMark, hex
// digits and kTempTail.
bool HasTempForm(const Job& job, const char* name) {
  const std::size_t kept = job.tempMarkAt - job.tempNameAt;
  const char* keptName = job.tempPath + job.tempNameAt;
  for (std::size_t i = 0; i < kept; ++i) {
    if (name[i] == 0 || Folded(name[i]) != Folded(keptName[i])) return false;
  }
  const char* rest = name + kept;
  if (std::strncmp(rest, kTempMark, sizeof kTempMark - 1) != 0) return false;
  rest += sizeof kTempMark - 1;
  const char* digits = rest;
  while (IsHexDigit(*rest)) ++rest;
  return rest != digits && std::strcmp(rest, kTempTail) == 0;
}

// Whether the file at path lies in the folder the archive goes to.
bool InArchiveFolder(const Job& job, const char* path) {
  const std::size_t folderLength = static_cast<std::size_t>(LastName(path) - path);
  if (!job.folderKnown || folderLength == 0) return false;
  auto* folder = static_cast<char*>(OsAllocate(folderLength + 1));
  if (folder == nullptr) return false;
  std::memcpy(folder, path, folderLength);
  folder[folderLength] = 0;
  OsFolderId id;
  const bool same = OsGetFolderId(folder, &id) && SameFile(id, job.folderId);
  OsRelease(folder);
  return same;
}

// The archive being written, the one it replaces, or a temporary file of
// ours met inside the source folder: none belongs in the new archive, and
// none was left out. Names are compared first, so that the identity is
// asked for rarely.
bool IsTheArchive(const Job& job, const char* path) {
  const char* name = LastName(path);
  if (HasTempForm(job, name) && InArchiveFolder(job, path)) return true;
  const bool maybeZip = job.zipKnown && (SameNameIgnoringCase(name, LastName(job.zipPath)) ||
                                         SameNameIgnoringCase(name, LastName(job.targetPath)));
  if (!maybeZip) return false;
  OsFolderId id;
  return OsGetFolderId(path, &id) && SameFile(id, job.zipId);
}

std::int32_t LeftOutReason(std::int32_t code, std::int32_t systemError) {
  switch (code) {
    case ErrOpen:
      return systemError != 0 ? ZIPFOLDER_REASON_CANNOT_OPEN : ZIPFOLDER_REASON_NOT_A_FILE;
    case ErrRead:
      return ZIPFOLDER_REASON_READ_FAILED;
    case ErrNoMemory:
      return ZIPFOLDER_REASON_NO_MEMORY;
    case ErrCrypto:
      return ZIPFOLDER_REASON_ENCRYPTION_FAILED;
    case ErrTooLarge:
    case ErrChanged:
      return ZIPFOLDER_REASON_CHANGED;
    default:
      return ZIPFOLDER_REASON_NAME_UNUSABLE;
  }
}

void PassedOver(void* context, const char* path, WalkSkip why) {
  auto* job = static_cast<Job*>(context);
  // The walk calls here right after the listing failed, with its error
  // number still current. The source folder itself is no folder left out:
  // without its listing there is no archive to make.
  if (why == WalkSkip::kFolderUnlisted && std::strcmp(path, job->srcFolder) == 0) {
    if (!job->sourceUnlisted) job->systemError = OsLastError();
    job->sourceUnlisted = true;
  } else if (why == WalkSkip::kFolderUnlisted) {
    ReportLeftOut(&job->reporter, path, ZIPFOLDER_REASON_FOLDER_UNLISTED, OsLastError());
  } else {
    ReportLeftOut(&job->reporter, path, PassedOverReason(why), 0);
  }
}

bool ReadHookToReporter(void* context, std::uint32_t bytes) {
  return ReportBytesRead(static_cast<Reporter*>(context), bytes);
}

// The packer's events, told on the caller's thread whatever the number of
// workers, turned into the caller's events.
bool WantedInArchive(void* context, const char* path) {
  const Job& job = *static_cast<Job*>(context);
  return !job.sourceUnlisted && !IsTheArchive(job, path);
}

void Excluded(void* context, const char* path) {
  ReportExcluded(&static_cast<Job*>(context)->reporter, OsIsFolder(path));
}

bool EntryStarting(void* context, const char* name) {
  auto* job = static_cast<Job*>(context);
  return !job->sourceUnlisted && ReportEntryStart(&job->reporter, name);
}

void EntryAdded(void* context, const ZipEntry* entry) {
  ReportAdded(&static_cast<Job*>(context)->reporter, entry->name, entry->size,
              entry->compressedSize, entry->method);
}

void FileLeftOut(void* context, const char* path, std::int32_t code, std::int32_t systemError) {
  auto* job = static_cast<Job*>(context);
  if (code == ErrStreamBroken) {
    // Not left out: the call fails with the file named.
    const std::size_t length = std::strlen(path);
    OsRelease(job->brokenPath);
    job->brokenPath = static_cast<char*>(OsAllocate(length + 1));
    if (job->brokenPath != nullptr) std::memcpy(job->brokenPath, path, length + 1);
    return;
  }
  const std::int32_t reported = code == ErrOpen || code == ErrRead ? systemError : 0;
  ReportLeftOut(&job->reporter, path, LeftOutReason(code, systemError), reported);
}

// Totals from the packer; bytes the caller's own reads told already through
// the read hook are not told twice.
bool BytesRead(void* context, std::uint64_t total) {
  Reporter* reporter = &static_cast<Job*>(context)->reporter;
  if (total > reporter->bytesRead) return ReportBytesRead(reporter, total - reporter->bytesRead);
  return !reporter->cancelled;
}

// The walk, with workers compressing ahead when asked for; spill files of
// output waiting for its turn are named after the temporary archive. Files
// read on the caller's thread report their progress as they are read.
void Walk(Job* job) {
  const PackEvents events{job,         WantedInArchive, EntryStarting, EntryAdded,
                          FileLeftOut, PassedOver,      BytesRead,     Excluded};
  ZipWriter* writer = job->writer;
  writer->readHook = ReadHookToReporter;
  writer->readHookContext = &job->reporter;
  ApplySelection(*job->selection, writer);
  AddFolderTree(writer, job->srcFolder, job->srcFolder, job->threads, &events, job->scratchPath,
                kHeldOutputBudget, &job->selection->rules);
  if (IsOutputFailure(writer->failure.code)) {
    job->outputError = writer->failure.code;
    job->brokenBy = writer->failure.brokenBy;
    job->systemError = writer->failure.systemError;
  }
}

// tempPath's digits, afresh: a clash with another name is unlikely, and
// only tried again.
void NextTempName(Job* job) {
  job->tempSeed = job->tempSeed * 6364136223846793005u + 1442695040888963407u;
  std::uint64_t bits = job->tempSeed >> 32;
  char* digits = job->tempPath + job->tempMarkAt + sizeof kTempMark - 1;
  for (std::size_t i = kTempDigits; i-- > 0; bits >>= 4) {
    digits[i] = "0123456789abcdef"[bits & 15];
  }
}

// The temporary name next to the target: its folder, its name cut to
// kTempNameKeep bytes at the start of a character, and the tail.
bool MakeTempPath(Job* job) {
  const char* target = job->targetPath;
  const char* name = LastName(target);
  std::size_t kept = std::strlen(name);
  if (kept > kTempNameKeep) {
    kept = kTempNameKeep;
    while (kept > 0 && (static_cast<unsigned char>(name[kept]) & 0xC0) == 0x80) --kept;
  }
  job->tempNameAt = static_cast<std::size_t>(name - target);
  job->tempMarkAt = job->tempNameAt + kept;
  const std::size_t bytes = job->tempMarkAt + sizeof kTempMark - 1 + kTempDigits + sizeof kTempTail;
  job->tempPath = static_cast<char*>(OsAllocate(bytes));
  if (job->tempPath == nullptr) return false;
  std::memcpy(job->tempPath, target, job->tempMarkAt);
  char* tail = job->tempPath + job->tempMarkAt;
  std::memcpy(tail, kTempMark, sizeof kTempMark - 1);
  std::memcpy(tail + sizeof kTempMark - 1 + kTempDigits, kTempTail, sizeof kTempTail);
  // Runs at the same moment differ in the address of their job as well.
  job->tempSeed = OsMonotonicNanoseconds() ^ reinterpret_cast<std::uintptr_t>(job);
  NextTempName(job);
  return true;
}

// The archive's file: nameless where the system allows it, else a new file
// under a temporary name that no one else has.
bool CreateOutput(Job* job) {
  // tempPath cut after the separator names the folder.
  const char cut = job->tempPath[job->tempNameAt];
  job->tempPath[job->tempNameAt] = 0;
  job->folderKnown = OsGetFolderId(job->tempNameAt == 0 ? "." : job->tempPath, &job->folderId);
  job->output = OsCreateNamelessArchive(job->tempNameAt == 0 ? "." : job->tempPath);
  job->tempPath[job->tempNameAt] = cut;
  if (job->output != kNoFile) {
    job->nameless = true;
    return true;
  }
  for (int n = 0; n < kTempTries; ++n) {
    if (n != 0) NextTempName(job);
    job->output = OsCreateNewArchive(job->tempPath);
    if (job->output != kNoFile) {
      job->named = true;
      return true;
    }
    if (!OsIsNameTaken(OsLastError())) break;
  }
  return false;
}

std::int32_t Fail(Reporter* reporter, std::int32_t status, const char* path,
                  std::int32_t systemError) {
  ReportEnd(reporter, ZIPFOLDER_EVENT_FAILED, path, 0, systemError,
            status == ZIPFOLDER_ALL_EXCLUDED ? StatusText(status) : nullptr);
  return status;
}

std::int32_t WriteFailure(Job* job) {
  return OsIsDiskFull(job->systemError) ? ZIPFOLDER_DISK_FULL : ZIPFOLDER_WRITE_FAILED;
}

// Walks into the open writer and finishes the archive in its file; the
// caller puts it in place or throws it away.
std::int32_t WalkAndClose(Job* job) {
  ZipWriter* writer = job->writer;
  Walk(job);
  if (job->sourceUnlisted) {
    AbandonArchive(writer);
    return ZIPFOLDER_NO_SOURCE;
  }
  if (job->tellUnmatched && !job->reporter.cancelled && job->outputError == ErrNone) {
    TellUnmatched(&job->reporter, *job->selection, job->options);
  }
  const Reporter& told = job->reporter;
  if (job->refuseEmpty && job->outputError == ErrNone && !told.cancelled &&
      told.entriesAdded == 0 && told.filesExcluded != 0) {
    AbandonArchive(writer);
    return ZIPFOLDER_ALL_EXCLUDED;
  }
  if (job->outputError == ErrNone && !job->reporter.cancelled) {
    const std::uint64_t length = FinishedLength(writer);
    const std::int32_t closed = CloseArchive(writer);
    if (closed == ErrNone) {
      job->archiveBytes = length;
      return ZIPFOLDER_DONE;
    }
    // The failed write's error number is still the thread's last one: the
    // releases after it succeeded.
    job->systemError = OsLastError();
    return closed == ErrNoMemory ? ZIPFOLDER_NO_MEMORY : WriteFailure(job);
  }
  // No directory: on a stream it would make the archive look complete.
  AbandonArchive(writer);
  return job->reporter.cancelled ? ZIPFOLDER_CANCELLED : WriteFailure(job);
}

// The complete archive's file, given a name if it has none, closed (whose
// failure is a failed write), and renamed over the target.
std::int32_t PutInPlace(Job* job) {
  for (int n = 0; job->nameless && n < kTempTries; ++n) {
    if (n != 0) NextTempName(job);
    if (OsNameArchive(job->output, job->tempPath)) {
      job->nameless = false;
      job->named = true;
    } else if (!OsIsNameTaken(OsLastError())) {
      break;
    }
  }
  if (job->nameless) {
    job->systemError = OsLastError();
    return ZIPFOLDER_CANNOT_CREATE;
  }
  // Only the archive goes into place, not a link someone put at its name.
  if (!OsIsFileAt(job->output, job->tempPath)) {
    job->systemError = OsLastError();
    return ZIPFOLDER_CANNOT_CREATE;
  }
  const OsFile output = job->output;
  job->output = kNoFile;
  if (!OsClose(output)) {
    job->systemError = OsLastError();
    return WriteFailure(job);
  }
  if (!OsRenameFile(job->tempPath, job->targetPath)) {
    job->systemError = OsLastError();
    return ZIPFOLDER_CANNOT_CREATE;
  }
  job->named = false;
  return ZIPFOLDER_DONE;
}

std::int32_t PackIntoOutput(Job* job) {
  if (!CreateOutput(job)) {
    job->systemError = OsLastError();
    return ZIPFOLDER_CANNOT_CREATE;
  }
  // A replaced archive keeps its permissions; a private one stays private.
  if (!OsCopyPermissions(job->targetPath, job->output)) {
    job->systemError = OsLastError();
    return ZIPFOLDER_CANNOT_CREATE;
  }
  ZipWriter* writer = nullptr;
  if (OpenArchiveOn(KeptFileSink(job->output), &writer) != ErrNone) return ZIPFOLDER_NO_MEMORY;
  job->writer = writer;
  writer->ownChoices.level = job->level;
  job->zipKnown = OsGetFolderId(job->targetPath, &job->zipId);
  const std::int32_t status = WalkAndClose(job);
  return status == ZIPFOLDER_DONE ? PutInPlace(job) : status;
}

// The job once the archive's path is claimed: its file, the walk into it,
// and the rename into place.
std::int32_t PackClaimed(Job* job) {
  const bool named = MakeTempPath(job);
  job->scratchPath = job->tempPath;
  std::int32_t status = named ? PackIntoOutput(job) : ZIPFOLDER_NO_MEMORY;
  const std::int32_t systemError = job->systemError;
  if (job->output != kNoFile) OsClose(job->output);
  if (job->named) OsRemoveFile(job->tempPath);
  OsRelease(job->tempPath);
  if (status == ZIPFOLDER_CANCELLED) return status;
  const char* failed = status == ZIPFOLDER_NO_SOURCE || status == ZIPFOLDER_ALL_EXCLUDED
                           ? job->srcFolder
                           : job->zipPath;
  if (status != ZIPFOLDER_DONE) return Fail(&job->reporter, status, failed, systemError);
  ReportEnd(&job->reporter, ZIPFOLDER_EVENT_FINISHED, job->zipPath, job->archiveBytes, 0);
  return job->reporter.filesLeftOut != 0 ? ZIPFOLDER_DONE_LEFT_OUT : ZIPFOLDER_DONE;
}

constexpr std::int32_t kBadLevel = -2;

// The writer's level the options ask for (CallChoices::level), or kBadLevel.
std::int32_t ChosenLevel(const ZipFolderOptions* options) {
  // A record from before the level existed asks for the default.
  constexpr std::size_t kWithLevel = offsetof(ZipFolderOptions, level) + sizeof(std::int32_t);
  const std::int32_t level =
      options != nullptr && options->size >= kWithLevel ? options->level : ZIPFOLDER_LEVEL_DEFAULT;
  if (level < ZIPFOLDER_LEVEL_STORE || level > 9) return kBadLevel;
  return level == ZIPFOLDER_LEVEL_STORE ? kLevelStoreAll : level;
}

// ---- Archives that go to a stream

// The caller's write function as the writer's sink.
struct CallerWrite {
  ZipFolderWriteCallback write;
  void* context;
};

bool WriteToCaller(void* context, const std::uint8_t* data, std::uint32_t count) {
  const auto* caller = static_cast<const CallerWrite*>(context);
  return caller->write(caller->context, data, count) == 0;
}

// The caller's write function, when the options carry one.
CallerWrite ChosenWrite(const ZipFolderOptions* options) {
  // A record from before the write function existed carries none.
  constexpr std::size_t kWithWrite = offsetof(ZipFolderOptions, writeContext) + sizeof(void*);
  return options != nullptr && options->size >= kWithWrite
             ? CallerWrite{options->write, options->writeContext}
             : CallerWrite{nullptr, nullptr};
}

// What broke a stream, in words: nothing sent can be taken back, so the
// reader must learn why what it got ends short.
void DescribeStreamFailure(const Job& job, char (&text)[200]) {
  const char* name = job.brokenPath != nullptr ? job.brokenPath : "a file";
  char system[120] = "";
  if (job.systemError != 0) OsErrorText(job.systemError, system, sizeof system);
  // Read in the middle of a line, as every reason is.
  if (system[0] >= 'A' && system[0] <= 'Z' && system[1] >= 'a' && system[1] <= 'z') {
    system[0] = static_cast<char>(system[0] + 'a' - 'A');
  }
  if (job.outputError != ErrStreamBroken) {
    std::snprintf(text, sizeof text, "%s",
                  system[0] != 0 ? system : "the write function refused the archive's bytes");
  } else if (job.brokenBy == ErrTooLarge) {
    std::snprintf(text, sizeof text, "'%s' grew while read past what its entry can hold", name);
  } else if (job.brokenBy == ErrChanged) {
    std::snprintf(text, sizeof text, "'%s' changed while read", name);
  } else if (job.brokenBy == ErrRead) {
    std::snprintf(text, sizeof text, "reading '%s' failed midway: %s", name,
                  system[0] != 0 ? system : "read failed");
  } else {
    std::snprintf(text, sizeof text, "'%s' failed midway: %s", name,
                  job.brokenBy == ErrNoMemory ? "out of memory" : "cannot be read");
  }
}

// The job into a stream: the walk straight into the sink, no file of its
// own, nothing to claim, rename or remove. job->zipPath names the archive
// in the events.
std::int32_t PackStreamed(Job* job, const OutputSink& sink) {
  if (OpenArchiveOn(sink, &job->writer) != ErrNone) {
    return Fail(&job->reporter, ZIPFOLDER_NO_MEMORY, job->zipPath, 0);
  }
  job->writer->ownChoices.level = job->level;
  const std::int32_t status = WalkAndClose(job);
  char text[200];
  const bool sourceFailed = status == ZIPFOLDER_NO_SOURCE || status == ZIPFOLDER_ALL_EXCLUDED;
  const bool broken = status != ZIPFOLDER_DONE && status != ZIPFOLDER_CANCELLED && !sourceFailed;
  if (broken) DescribeStreamFailure(*job, text);
  OsRelease(job->brokenPath);
  job->brokenPath = nullptr;
  if (status == ZIPFOLDER_CANCELLED) return status;
  if (sourceFailed) {
    return Fail(&job->reporter, status, job->srcFolder, job->systemError);
  }
  if (status != ZIPFOLDER_DONE) {
    ReportEnd(&job->reporter, ZIPFOLDER_EVENT_FAILED, job->zipPath, 0, job->systemError, text);
    return status;
  }
  ReportEnd(&job->reporter, ZIPFOLDER_EVENT_FINISHED, job->zipPath, job->archiveBytes, 0);
  return job->reporter.filesLeftOut != 0 ? ZIPFOLDER_DONE_LEFT_OUT : ZIPFOLDER_DONE;
}

// ---- The job

std::uint32_t ChosenFlags(const ZipFolderOptions* options) {
  constexpr std::size_t kWithFlags = offsetof(ZipFolderOptions, flags) + sizeof(std::uint32_t);
  return options != nullptr && options->size >= kWithFlags ? options->flags : 0;
}

// The job once the options are read and found good.
std::int32_t PackSelected(const char* srcFolder, const char* zipPath,
                          const ZipFolderOptions* options, Selection* selection) {
  Reporter reporter = MakeReporter(options);
  // Nothing is created for a source that cannot be packed.
  // Listing it tells a file from a folder too, with the system's reason.
  OsFolderScan* scan = OsOpenFolder(srcFolder);
  if (scan == nullptr) return Fail(&reporter, ZIPFOLDER_NO_SOURCE, srcFolder, OsLastError());
  OsCloseFolder(scan);
  const std::uint32_t flags = ChosenFlags(options);
  const bool refuseEmpty = (flags & ZIPFOLDER_FLAG_REFUSE_EMPTY) != 0;
  if ((flags & (ZIPFOLDER_FLAG_COUNT_FIRST | ZIPFOLDER_FLAG_DRY_RUN)) != 0) {
    const bool dryRun = (flags & ZIPFOLDER_FLAG_DRY_RUN) != 0;
    const SurveyResult found = SurveyFolder(&reporter, srcFolder, zipPath, selection, dryRun);
    if (found.stopped) return ZIPFOLDER_CANCELLED;
    if ((flags & ZIPFOLDER_FLAG_TELL_UNMATCHED) != 0 &&
        !TellUnmatched(&reporter, *selection, options)) {
      return ZIPFOLDER_CANCELLED;
    }
    // An archive the patterns leave empty is refused before anything is written.
    if (refuseEmpty && found.entries == 0 && found.excluded != 0) {
      return Fail(&reporter, ZIPFOLDER_ALL_EXCLUDED, srcFolder, 0);
    }
    if (dryRun) {
      ReportEnd(&reporter, ZIPFOLDER_EVENT_FINISHED, zipPath, 0, 0);
      return reporter.filesLeftOut != 0 ? ZIPFOLDER_DONE_LEFT_OUT : ZIPFOLDER_DONE;
    }
  }
  // A record from before the thread count existed asks for none.
  constexpr std::size_t kWithThreads = offsetof(ZipFolderOptions, threads) + sizeof(std::uint32_t);
  Job job{};
  job.reporter = reporter;
  job.srcFolder = srcFolder;
  job.zipPath = zipPath != nullptr ? zipPath : "";
  job.output = kNoFile;
  job.selection = selection;
  job.level = ChosenLevel(options);
  job.refuseEmpty = refuseEmpty;
  job.options = options;
  job.tellUnmatched =
      (flags & ZIPFOLDER_FLAG_TELL_UNMATCHED) != 0 && (flags & ZIPFOLDER_FLAG_COUNT_FIRST) == 0;
  job.threads =
      WorkerCount(options != nullptr && options->size >= kWithThreads ? options->threads : 0);
  CallerWrite caller = ChosenWrite(options);
  if (caller.write != nullptr) {
    // Output held beyond memory's budget has no folder of its own to spill
    // to: the workers wait for the writer instead.
    return PackStreamed(&job, FunctionSink(WriteToCaller, &caller));
  }
  if (OsIsStream(zipPath)) {
    const OsFile stream = OsOpenStream(zipPath);
    if (stream == kNoFile) {
      return Fail(&reporter, ZIPFOLDER_CANNOT_CREATE, zipPath, OsLastError());
    }
    job.scratchPath = zipPath;
    return PackStreamed(&job, StreamSink(stream, true));
  }
  // A link at zipPath is written through, as CompFilesToZipFile does.
  char* targetPath = OsResolveLinks(zipPath);
  if (targetPath == nullptr) {
    return Fail(&reporter, ZIPFOLDER_CANNOT_CREATE, zipPath, OsLastError());
  }
  std::int32_t status = ZIPFOLDER_CANNOT_CREATE;
  OsFile held = kNoFile;
  if (OsIsFolder(targetPath)) {
    Fail(&reporter, status, zipPath, OsFolderError());
  } else if (!OsClaimExisting(targetPath, &held)) {
    // An archive someone is writing now is not replaced under their hands.
    Fail(&reporter, status, zipPath, OsLastError());
  } else {
    job.targetPath = targetPath;
    status = PackClaimed(&job);
    OsClose(held);
  }
  OsRelease(targetPath);
  return status;
}

}  // namespace

std::int32_t PackFolderReporting(const char* srcFolder, const char* zipPath,
                                 const ZipFolderOptions* options) {
  const bool pathless = options != nullptr && options->size >= sizeof(std::uint32_t) &&
                        (ChosenWrite(options).write != nullptr ||
                         (ChosenFlags(options) & ZIPFOLDER_FLAG_DRY_RUN) != 0);
  if (srcFolder == nullptr || *srcFolder == 0 ||
      (!pathless && (zipPath == nullptr || *zipPath == 0)) ||
      (options != nullptr && options->size < sizeof(std::uint32_t))) {
    return ZIPFOLDER_BAD_ARGUMENT;
  }
  if (ChosenLevel(options) == kBadLevel) return ZIPFOLDER_BAD_ARGUMENT;
  Selection selection;
  std::int32_t status = OpenSelection(&selection, options, srcFolder);
  if (status == ZIPFOLDER_DONE) status = PackSelected(srcFolder, zipPath, options, &selection);
  CloseSelection(&selection);
  return status;
}

}  // namespace zf
