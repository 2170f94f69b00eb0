// The reporting job behind CompFilesToZipFileEx.
//
// Unlike CompFilesToZipFile, which truncates the archive in place, this job
// writes under a temporary name next to the archive and renames it at the
// end: a failed, cancelled or half-written run leaves whatever the user had
// at zipPath as it was, and never a partial archive under the final name.
#include <cstddef>
#include <cstring>

#include "entry/pack_folder.h"
#include "entry/parallel_pack.h"
#include "entry/report.h"

namespace zf {
namespace {

constexpr char kTempSuffix[] = ".zf00.tmp";  // the digits count up on a name clash
constexpr int kTempTries = 100;

// One call of the job: its writer, its reporter and what it must not pack.
struct Job {
  ZipWriter* writer;
  Reporter reporter;
  const char* zipPath;
  const char* tempPath;
  OsFolderId zipId;  // the archive being replaced, when there is one
  OsFolderId tempId;
  bool zipKnown;
  bool tempKnown;
  std::int32_t outputError;  // ErrWrite or ErrSeek once the archive failed
  std::int32_t systemError;  // the system's error number of that failure
  std::uint64_t archiveBytes;
  std::uint32_t threads;  // workers compressing; below 2, none
  std::int32_t level;     // the writer's level (ZipWriter::level)
};

const char* LastName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != 0; ++p) {
    if (*p == '/' || *p == kPathSeparator) name = p + 1;
  }
  return name;
}

bool SameNameIgnoringCase(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    const char ca = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
    const char cb = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
    if (ca != cb) return false;
  }
  return *a == *b;
}

bool SameFile(const OsFolderId& a, const OsFolderId& b) {
  return a.volume == b.volume && a.index == b.index;
}

// The archive being written, or the one it replaces, met inside the source
// folder: neither belongs in the new archive, and neither was left out.
// Names are compared first, so that the identity is asked for rarely.
bool IsTheArchive(const Job& job, const char* path) {
  const char* name = LastName(path);
  const bool maybeTemp = job.tempKnown && SameNameIgnoringCase(name, LastName(job.tempPath));
  const bool maybeZip = job.zipKnown && SameNameIgnoringCase(name, LastName(job.zipPath));
  if (!maybeTemp && !maybeZip) return false;
  OsFolderId id;
  if (!OsGetFolderId(path, &id)) return false;
  return (maybeTemp && SameFile(id, job.tempId)) || (maybeZip && SameFile(id, job.zipId));
}

std::int32_t LeftOutReason(std::int32_t code, std::int32_t systemError) {
  switch (code) {
    case ErrOpen:
      return systemError != 0 ? ZIPFOLDER_REASON_CANNOT_OPEN : ZIPFOLDER_REASON_NOT_A_FILE;
    case ErrRead:
      return ZIPFOLDER_REASON_READ_FAILED;
    case ErrNoMemory:
      return ZIPFOLDER_REASON_NO_MEMORY;
    case ErrTooLarge:
      return ZIPFOLDER_REASON_CHANGED;
    default:
      return ZIPFOLDER_REASON_NAME_UNUSABLE;
  }
}

void PassedOver(void* context, const char* path, WalkSkip why) {
  auto* job = static_cast<Job*>(context);
  // The walk calls here right after the listing failed, with its error
  // number still current.
  if (why == WalkSkip::kFolderUnlisted) {
    ReportLeftOut(&job->reporter, path, ZIPFOLDER_REASON_FOLDER_UNLISTED, OsLastError());
  } else {
    const std::int32_t reason = why == WalkSkip::kPathTooLong ? ZIPFOLDER_REASON_PATH_TOO_LONG
                                : why == WalkSkip::kNoMemory  ? ZIPFOLDER_REASON_NO_MEMORY
                                                              : ZIPFOLDER_REASON_NAME_UNUSABLE;
    ReportLeftOut(&job->reporter, path, reason, 0);
  }
}

bool ReadHookToReporter(void* context, std::uint32_t bytes) {
  return ReportBytesRead(static_cast<Reporter*>(context), bytes);
}

// The packer's events, told on the caller's thread whatever the number of
// workers, turned into the caller's events.
bool WantedInArchive(void* context, const char* path) {
  return !IsTheArchive(*static_cast<Job*>(context), path);
}

bool EntryStarting(void* context, const char* name) {
  return ReportEntryStart(&static_cast<Job*>(context)->reporter, name);
}

void EntryAdded(void* context, const ZipEntry* entry) {
  ReportAdded(&static_cast<Job*>(context)->reporter, entry->name, entry->size,
              entry->compressedSize, entry->method);
}

void FileLeftOut(void* context, const char* path, std::int32_t code, std::int32_t systemError) {
  const std::int32_t reported = code == ErrOpen || code == ErrRead ? systemError : 0;
  ReportLeftOut(&static_cast<Job*>(context)->reporter, path, LeftOutReason(code, systemError),
                reported);
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
void Walk(Job* job, const char* srcFolder) {
  const PackEvents events{job,         WantedInArchive, EntryStarting, EntryAdded,
                          FileLeftOut, PassedOver,      BytesRead};
  ZipWriter* writer = job->writer;
  writer->readHook = ReadHookToReporter;
  writer->readHookContext = &job->reporter;
  AddFolderInParallel(writer, srcFolder, srcFolder, job->threads, &events, job->tempPath);
  if (IsOutputFailure(writer->error)) {
    job->outputError = writer->error;
    job->systemError = writer->systemError;
  }
}

// A fresh file next to the archive, named after it, that no one else has.
bool CreateTempFile(const char* zipPath, char* tempPath, std::size_t zipLength) {
  std::memcpy(tempPath, zipPath, zipLength);
  std::memcpy(tempPath + zipLength, kTempSuffix, sizeof kTempSuffix);
  char* digits = tempPath + zipLength + 3;
  for (int n = 0; n < kTempTries; ++n) {
    digits[0] = static_cast<char>('0' + n / 10);
    digits[1] = static_cast<char>('0' + n % 10);
    if (OsCreateNewFile(tempPath)) return true;
  }
  return false;
}

std::int32_t Fail(Reporter* reporter, std::int32_t status, const char* path,
                  std::int32_t systemError) {
  ReportEnd(reporter, ZIPFOLDER_EVENT_FAILED, path, 0, systemError);
  return status;
}

std::int32_t WriteFailure(Job* job) {
  return OsIsDiskFull(job->systemError) ? ZIPFOLDER_DISK_FULL : ZIPFOLDER_WRITE_FAILED;
}

// The finished archive's length as the file system has it, whatever
// records the writer ended it with.
std::uint64_t FileLength(const char* path) {
  const OsFile file = OsOpenSource(path);
  OsFileFacts facts{};
  if (file != kNoFile && !OsGetFacts(file, &facts)) facts.size = 0;
  OsClose(file);
  return facts.size;
}

// Walks into the open writer and finishes the archive under its temporary
// name; the caller puts it in place or removes it.
std::int32_t WalkAndClose(Job* job, const char* srcFolder) {
  ZipWriter* writer = job->writer;
  Walk(job, srcFolder);
  if (job->outputError == ErrNone && !job->reporter.cancelled) {
    const std::int32_t closed = CloseArchive(writer);
    if (closed == ErrNone) {
      job->archiveBytes = FileLength(job->tempPath);
      return ZIPFOLDER_DONE;
    }
    // The failed write's error number is still the thread's last one: the
    // close and the releases after it succeeded.
    job->systemError = OsLastError();
    return closed == ErrNoMemory ? ZIPFOLDER_NO_MEMORY : WriteFailure(job);
  }
  CloseArchive(writer);
  return job->reporter.cancelled ? ZIPFOLDER_CANCELLED : WriteFailure(job);
}

std::int32_t PackIntoTemp(Job* job, const char* srcFolder) {
  ZipWriter* writer = nullptr;
  const std::int32_t opened = OpenArchive(job->tempPath, &writer);
  if (opened != ErrNone) {
    job->systemError = OsLastError();
    return opened == ErrNoMemory ? ZIPFOLDER_NO_MEMORY : ZIPFOLDER_CANNOT_CREATE;
  }
  job->writer = writer;
  writer->level = job->level;
  job->tempKnown = OsGetFolderId(job->tempPath, &job->tempId);
  job->zipKnown = OsGetFolderId(job->zipPath, &job->zipId);
  return WalkAndClose(job, srcFolder);
}

// The job once the archive's path is claimed: a temporary file, the walk
// into it, and the rename into place.
std::int32_t PackClaimed(const char* srcFolder, const char* zipPath, Reporter* reporter,
                         std::uint32_t threads, std::int32_t level) {
  const std::size_t zipLength = std::strlen(zipPath);
  auto* tempPath = static_cast<char*>(OsAllocate(zipLength + sizeof kTempSuffix));
  if (tempPath == nullptr) return ZIPFOLDER_NO_MEMORY;
  if (!CreateTempFile(zipPath, tempPath, zipLength)) {
    const std::int32_t systemError = OsLastError();
    OsRelease(tempPath);
    return Fail(reporter, ZIPFOLDER_CANNOT_CREATE, zipPath, systemError);
  }
  Job job{};
  job.reporter = *reporter;
  job.zipPath = zipPath;
  job.tempPath = tempPath;
  job.threads = threads;
  job.level = level;
  std::int32_t status = PackIntoTemp(&job, srcFolder);
  std::int32_t systemError = job.systemError;
  if (status == ZIPFOLDER_DONE && !OsRenameFile(tempPath, zipPath)) {
    systemError = OsLastError();
    status = ZIPFOLDER_CANNOT_CREATE;
  }
  if (status != ZIPFOLDER_DONE) OsRemoveFile(tempPath);
  OsRelease(tempPath);
  if (status == ZIPFOLDER_CANCELLED) return status;
  if (status != ZIPFOLDER_DONE) return Fail(&job.reporter, status, zipPath, systemError);
  ReportEnd(&job.reporter, ZIPFOLDER_EVENT_FINISHED, zipPath, job.archiveBytes, 0);
  return job.reporter.filesLeftOut != 0 ? ZIPFOLDER_DONE_LEFT_OUT : ZIPFOLDER_DONE;
}

}  // namespace

std::int32_t PackFolderReporting(const char* srcFolder, const char* zipPath,
                                 const ZipFolderOptions* options) {
  if (srcFolder == nullptr || zipPath == nullptr || *srcFolder == 0 || *zipPath == 0 ||
      (options != nullptr && options->size < sizeof(std::uint32_t))) {
    return ZIPFOLDER_BAD_ARGUMENT;
  }
  // A record from before the level existed asks for the default.
  constexpr std::size_t kWithLevel = offsetof(ZipFolderOptions, level) + sizeof(std::int32_t);
  const std::int32_t level =
      options != nullptr && options->size >= kWithLevel ? options->level : ZIPFOLDER_LEVEL_DEFAULT;
  if (level < ZIPFOLDER_LEVEL_STORE || level > 9) return ZIPFOLDER_BAD_ARGUMENT;
  Reporter reporter = MakeReporter(options);
  // Nothing is created for a source that cannot be packed.
  // Listing it tells a file from a folder too, with the system's reason.
  OsFolderScan* scan = OsOpenFolder(srcFolder);
  if (scan == nullptr) return Fail(&reporter, ZIPFOLDER_NO_SOURCE, srcFolder, OsLastError());
  OsCloseFolder(scan);
  if (OsIsFolder(zipPath)) return Fail(&reporter, ZIPFOLDER_CANNOT_CREATE, zipPath, 0);
  // An archive someone is writing now is not replaced under their hands.
  OsFile held = kNoFile;
  if (!OsClaimExisting(zipPath, &held)) {
    return Fail(&reporter, ZIPFOLDER_CANNOT_CREATE, zipPath, OsLastError());
  }
  // A record from before the thread count existed asks for none.
  constexpr std::size_t kWithThreads = offsetof(ZipFolderOptions, threads) + sizeof(std::uint32_t);
  const std::uint32_t threads =
      options != nullptr && options->size >= kWithThreads ? options->threads : 0;
  const std::int32_t status = PackClaimed(srcFolder, zipPath, &reporter, threads,
                                          level == ZIPFOLDER_LEVEL_STORE ? kLevelStoreAll : level);
  OsClose(held);
  return status;
}

}  // namespace zf
