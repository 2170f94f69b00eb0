// A walk before (or instead of) packing, for callers that want to know what
// a pack will take before it starts: the count behind a percentage
// (ZIPFOLDER_FLAG_COUNT_FIRST) and the listing of a dry run
// (ZIPFOLDER_FLAG_DRY_RUN). It chooses through the same selection as the
// pack, so that the two agree on what there is.
#pragma once

#include <cstdint>

#include "entry/report.h"
#include "entry/selection.h"

namespace zf {

struct SurveyResult {
  std::uint32_t entries;   // entries the archive would hold
  std::uint32_t excluded;  // names the patterns or .gitignore left out
  bool stopped;            // the caller cancelled
};

// Walks srcFolder under the selection and sets the reporter's totals,
// telling COUNTING events on the way, then COUNTED. With listing
// (a dry run) each entry is told as LISTED, each file that cannot be
// opened as LEFT_OUT and each excluded name is counted in the reporter;
// else only the totals change. zipPath's file, when there is one, is not
// counted, as packing leaves it out.
SurveyResult SurveyFolder(Reporter* reporter, const char* srcFolder, const char* zipPath,
                          Selection* selection, bool listing);

// The last name of a path, after its last "/" or system separator.
const char* LastName(const char* path);
// The ZIPFOLDER_REASON_* of something the walk passed over.
std::int32_t PassedOverReason(WalkSkip why);

// An UNMATCHED event for each of the options' patterns that decided no
// name in the walks of the selection so far. False once the caller cancelled.
bool TellUnmatched(Reporter* reporter, const Selection& selection, const ZipFolderOptions* options);

}  // namespace zf
