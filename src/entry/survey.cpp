// The walk before packing, or instead of it: see survey.h.
#include "entry/survey.h"

#include <cstddef>
#include <cstring>

#include "platform/platform.h"

namespace zf {
namespace {

// A COUNTING event after this many entries found.
constexpr std::uint32_t kCountingStep = 256;

struct Survey {
  Reporter* reporter;
  const Selection* selection;
  bool listing;
  bool zipKnown;  // zipId is the file at zipPath
  OsFolderId zipId;
  const char* zipName;  // zipPath's last name
  char* name;           // kMaxPathBytes: the prefix, then a name in the archive
  std::size_t prefixLength;
  std::uint32_t excluded;
  bool stopped;
};

bool IsArchive(const Survey& survey, const char* path) {
  if (!survey.zipKnown || std::strcmp(LastName(path), survey.zipName) != 0) return false;
  OsFolderId id;
  return OsGetFolderId(path, &id) && id.volume == survey.zipId.volume &&
         id.index == survey.zipId.index;
}

// The name in the archive: the prefix, and relative with "/" between its
// levels; a folder's with "/" after it.
const char* ArchiveName(Survey* survey, const char* relative, bool folder) {
  std::size_t at = survey->prefixLength;
  for (; *relative != 0 && at + 2 < kMaxPathBytes; ++relative) {
    survey->name[at++] = *relative == kPathSeparator ? '/' : *relative;
  }
  if (folder) survey->name[at++] = '/';
  survey->name[at] = 0;
  return survey->name;
}

// One more entry of size bytes: told as listed, or counted.
bool Found(Survey* survey, const char* relative, bool folder, std::uint64_t size) {
  Reporter* reporter = survey->reporter;
  reporter->entriesTotal += 1;
  reporter->bytesTotal += size;
  const bool going = survey->listing ? ReportSurvey(reporter, ZIPFOLDER_EVENT_LISTED,
                                                    ArchiveName(survey, relative, folder), size)
                     : reporter->entriesTotal % kCountingStep == 0
                         ? ReportSurvey(reporter, ZIPFOLDER_EVENT_COUNTING, nullptr, 0)
                         : !reporter->cancelled;
  survey->stopped = !going;
  return going;
}

bool VisitFile(void* context, const char* path, const char* relative) {
  auto* survey = static_cast<Survey*>(context);
  if (IsArchive(*survey, path)) return true;
  const OsFile file = OsOpenSource(path);
  if (file == kNoFile) {
    const std::int32_t error = OsLastError();
    if (!survey->listing) return true;
    ReportLeftOut(survey->reporter, path,
                  error != 0 ? ZIPFOLDER_REASON_CANNOT_OPEN : ZIPFOLDER_REASON_NOT_A_FILE, error);
    return !(survey->stopped = survey->reporter->cancelled);
  }
  OsFileFacts facts{};
  const bool known = OsGetFacts(file, &facts);
  OsClose(file);
  return Found(survey, relative, false, known ? facts.size : 0);
}

bool VisitItem(void* context, const char* path, const char* relative, WalkItem item) {
  auto* survey = static_cast<Survey*>(context);
  static_cast<void>(path);
  // The root's own entry (with a prefix) is the prefix and its "/".
  return Found(survey, relative, *relative != 0 && item == WalkItem::kFolder, 0);
}

void PassedOver(void* context, const char* path, WalkSkip why) {
  auto* survey = static_cast<Survey*>(context);
  if (!survey->listing) return;
  ReportLeftOut(survey->reporter, path, PassedOverReason(why),
                why == WalkSkip::kFolderUnlisted ? OsLastError() : 0);
}

void Excluded(void* context, const char* path) {
  auto* survey = static_cast<Survey*>(context);
  survey->excluded += 1;
  if (survey->listing) ReportExcluded(survey->reporter, OsIsFolder(path));
}

}  // namespace

SurveyResult SurveyFolder(Reporter* reporter, const char* srcFolder, const char* zipPath,
                          Selection* selection, bool listing) {
  Survey survey{};
  survey.reporter = reporter;
  survey.selection = selection;
  survey.listing = listing;
  survey.name = static_cast<char*>(OsAllocate(kMaxPathBytes));
  if (survey.name == nullptr) return SurveyResult{0, 0, false};
  if (selection->prefix != nullptr) {
    std::memcpy(survey.name, selection->prefix, selection->prefixLength);
    survey.name[selection->prefixLength] = '/';
    survey.prefixLength = selection->prefixLength + 1;
  }
  if (zipPath != nullptr && *zipPath != 0) {
    survey.zipName = LastName(zipPath);
    survey.zipKnown = OsGetFolderId(zipPath, &survey.zipId);
  }
  reporter->entriesTotal = 0;
  reporter->bytesTotal = 0;
  const WalkVisitor visitor{&survey, VisitFile, PassedOver, VisitItem, Excluded};
  WalkFolder(visitor, srcFolder, srcFolder, &selection->rules);
  OsRelease(survey.name);
  if (!survey.stopped) {
    survey.stopped = !ReportSurvey(reporter, ZIPFOLDER_EVENT_COUNTED, nullptr, 0);
  }
  return SurveyResult{reporter->entriesTotal, survey.excluded, survey.stopped};
}

const char* LastName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != 0; ++p) {
    if (*p == '/' || *p == kPathSeparator) name = p + 1;
  }
  return name;
}

std::int32_t PassedOverReason(WalkSkip why) {
  return why == WalkSkip::kFolderUnlisted ? ZIPFOLDER_REASON_FOLDER_UNLISTED
         : why == WalkSkip::kPathTooLong  ? ZIPFOLDER_REASON_PATH_TOO_LONG
         : why == WalkSkip::kNoMemory     ? ZIPFOLDER_REASON_NO_MEMORY
                                          : ZIPFOLDER_REASON_NAME_UNUSABLE;
}

bool TellUnmatched(Reporter* reporter, const Selection& selection,
                   const ZipFolderOptions* options) {
  constexpr std::size_t kWithInclude =
      offsetof(ZipFolderOptions, includeCount) + sizeof(std::uint32_t);
  if (selection.rules.filter == nullptr || options == nullptr || options->size < kWithInclude) {
    return !reporter->cancelled;
  }
  for (int include = 0; include < 2; ++include) {
    const char* const* patterns = include != 0 ? options->include : options->exclude;
    const std::uint32_t count = include != 0 ? options->includeCount : options->excludeCount;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!NameFilterPatternUsed(*selection.rules.filter, include != 0, i)) {
        if (!ReportSurvey(reporter, ZIPFOLDER_EVENT_UNMATCHED, patterns[i], 0)) return false;
      }
    }
  }
  return true;
}

}  // namespace zf
