// Telling the caller what happens to each file. CompFilesToZipFile says
// nothing; CompFilesToZipFileEx hands every added file, every file left out
// and the bytes read so far to the caller's callback, and lets it cancel.
// Every packer sends its events through these few functions, on the
// caller's thread, so that all of them report alike.
#pragma once

#include <cstdint>

#include "zipfolder.h"

namespace zf {

// One call's events: the caller's callback and the running totals.
struct Reporter {
  ZipFolderCallback callback;  // null: count only
  void* context;
  std::uint64_t bytesRead;       // source bytes read so far, kept or not
  std::uint64_t nextProgressAt;  // bytesRead at which the next progress event is due
  std::uint32_t entriesAdded;
  std::uint32_t filesLeftOut;
  std::uint32_t filesExcluded;    // files and folders the patterns or .gitignore left out
  std::uint32_t foldersExcluded;  // of those, the folders
  const char* current;            // archive name of the file being read
  bool cancelled;                 // the callback asked to stop; stays set
  // What the count before packing found (ZIPFOLDER_FLAG_COUNT_FIRST), told in every event.
  std::uint32_t entriesTotal;
  std::uint64_t bytesTotal;
};

// A progress event is due at each entry and after this many bytes read.
inline constexpr std::uint64_t kProgressStep = 1u << 20;

// Null options, or options too short for the callback, give a reporter
// that only counts.
Reporter MakeReporter(const ZipFolderOptions* options);

// Each returns false once the caller has asked to stop.
bool ReportEntryStart(Reporter* reporter, const char* name);
bool ReportBytesRead(Reporter* reporter, std::uint64_t bytes);
bool ReportAdded(Reporter* reporter, const char* name, std::uint64_t size,
                 std::uint64_t compressedSize, std::int32_t method);
// A file or folder the selection left out: counted, and told with the next event.
void ReportExcluded(Reporter* reporter, bool folder);
// reason: ZIPFOLDER_REASON_*; systemError 0 when the system gave none.
bool ReportLeftOut(Reporter* reporter, const char* path, std::int32_t reason,
                   std::int32_t systemError);
// The count before packing, or a dry run's listing: kind is
// ZIPFOLDER_EVENT_COUNTING, _COUNTED, _LISTED (name and size: an entry
// that would be packed) or _UNMATCHED (name: the pattern).
bool ReportSurvey(Reporter* reporter, std::int32_t kind, const char* name, std::uint64_t size);
// The end of the call: FAILED or FINISHED, with the path concerned. A
// failure is told in text when it is given, else in the system's words.
void ReportEnd(Reporter* reporter, std::int32_t kind, const char* path, std::uint64_t size,
               std::int32_t systemError, const char* text = nullptr);

// ZipFolderStatusText's words for a status.
const char* StatusText(std::int32_t status);

// The whole job of CompFilesToZipFileEx; returns a ZIPFOLDER_* status.
std::int32_t PackFolderReporting(const char* srcFolder, const char* zipPath,
                                 const ZipFolderOptions* options);

}  // namespace zf
