// The events every packer sends to the caller of CompFilesToZipFileEx: each
// file added, each file left out and the bytes read so far, on the caller's
// thread, through these few functions, so that all packers report alike.
#include "entry/report.h"

#include <cstddef>
#include <cstring>

#include "platform/platform.h"
#include "zipwriter/source_details.h"

namespace zf {

namespace {

constexpr std::size_t kTextBytes = 160;

struct ReasonText {
  std::int32_t reason;
  const char* text;
};

// Used when the system gave no error number.
constexpr ReasonText kReasonTexts[] = {
    {ZIPFOLDER_REASON_CANNOT_OPEN, "cannot be opened"},
    {ZIPFOLDER_REASON_READ_FAILED, "read failed"},
    {ZIPFOLDER_REASON_NOT_A_FILE, "not a regular file"},
    {ZIPFOLDER_REASON_CHANGED, "it changed while read, also when read again"},
    {ZIPFOLDER_REASON_FOLDER_UNLISTED, "folder cannot be listed"},
    {ZIPFOLDER_REASON_PATH_TOO_LONG, "path too long"},
    {ZIPFOLDER_REASON_NAME_UNUSABLE, "name not usable in an archive"},
    {ZIPFOLDER_REASON_NO_MEMORY, "out of memory"},
    {ZIPFOLDER_REASON_ENCRYPTION_FAILED, "the system's cryptography refused to encrypt it"},
};

// The system's text, or the reason's own, starting in lower case as it is
// read in the middle of a line.
void DescribeFailure(std::int32_t reason, std::int32_t systemError, char (&text)[kTextBytes]) {
  text[0] = 0;
  if (systemError != 0) {
    OsErrorText(systemError, text, kTextBytes);
  }
  if (text[0] == 0) {
    for (const ReasonText& known : kReasonTexts) {
      if (known.reason == reason) std::strncpy(text, known.text, kTextBytes - 1);
    }
    text[kTextBytes - 1] = 0;
  }
  if (text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') text[0] += 'a' - 'A';
}

// A name as valid UTF-8, as the callback is promised: each byte that starts
// no character becomes U+FFFD. Null when the name is valid already; else
// one block from OsAllocate, or, when memory is short, null as well.
char* ValidUtf8(const char* name) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  constexpr std::size_t kReplacementBytes = sizeof kReplacement - 1;
  const auto* text = reinterpret_cast<const unsigned char*>(name);
  std::size_t bytes = 0;
  bool valid = true;
  for (std::size_t i = 0; text[i] != 0;) {
    const std::size_t length = Utf8CharacterLength(text + i);
    valid = valid && length != 0;
    bytes += length != 0 ? length : kReplacementBytes;
    i += length != 0 ? length : 1;
  }
  char* fixed = valid ? nullptr : static_cast<char*>(OsAllocate(bytes + 1));
  if (fixed == nullptr) return nullptr;
  char* out = fixed;
  for (std::size_t i = 0; text[i] != 0;) {
    const std::size_t length = Utf8CharacterLength(text + i);
    if (length != 0) {
      std::memcpy(out, name + i, length);
      out += length;
      i += length;
    } else {
      std::memcpy(out, kReplacement, kReplacementBytes);
      out += kReplacementBytes;
      i += 1;
    }
  }
  *out = 0;
  return fixed;
}

bool Send(Reporter* reporter, ZipFolderEvent event) {
  event.bytesRead = reporter->bytesRead;
  event.entriesAdded = reporter->entriesAdded;
  event.filesLeftOut = reporter->filesLeftOut;
  event.filesExcluded = reporter->filesExcluded;
  event.foldersExcluded = reporter->foldersExcluded;
  event.entriesTotal = reporter->entriesTotal;
  event.bytesTotal = reporter->bytesTotal;
  if (reporter->callback != nullptr && !reporter->cancelled) {
    char* fixed = event.name != nullptr ? ValidUtf8(event.name) : nullptr;
    if (fixed != nullptr) event.name = fixed;
    if (reporter->callback(reporter->context, &event) != 0) reporter->cancelled = true;
    OsRelease(fixed);
  }
  return !reporter->cancelled;
}

bool SendProgress(Reporter* reporter) {
  reporter->nextProgressAt = reporter->bytesRead + kProgressStep;
  ZipFolderEvent event{};
  event.kind = ZIPFOLDER_EVENT_PROGRESS;
  event.name = reporter->current;
  return Send(reporter, event);
}

constexpr const char* kStatusTexts[] = {
    "every file is in the archive",
    "the archive is written; some files were left out",
    "bad argument",
    "the source is not a folder or cannot be listed",
    "the archive cannot be created or put in place",
    "writing the archive failed",
    "writing the archive failed: the disk or quota is full",
    "cancelled",
    "out of memory",
    "the patterns left out every file; no archive written",
    "encryption is not supported in this build",
};

}  // namespace

const char* StatusText(std::int32_t status) {
  constexpr auto kCount = static_cast<std::int32_t>(sizeof kStatusTexts / sizeof *kStatusTexts);
  return status >= 0 && status < kCount ? kStatusTexts[status] : "unknown status";
}

Reporter MakeReporter(const ZipFolderOptions* options) {
  Reporter reporter{};
  reporter.nextProgressAt = kProgressStep;
  // A record from before the callback existed carries none.
  constexpr std::size_t kWithCallback = offsetof(ZipFolderOptions, context) + sizeof(void*);
  if (options != nullptr && options->size >= kWithCallback) {
    reporter.callback = options->callback;
    reporter.context = options->context;
  }
  return reporter;
}

bool ReportEntryStart(Reporter* reporter, const char* name) {
  reporter->current = name;
  return SendProgress(reporter);
}

bool ReportBytesRead(Reporter* reporter, std::uint64_t bytes) {
  reporter->bytesRead += bytes;
  if (reporter->bytesRead < reporter->nextProgressAt) return !reporter->cancelled;
  return SendProgress(reporter);
}

bool ReportAdded(Reporter* reporter, const char* name, std::uint64_t size,
                 std::uint64_t compressedSize, std::int32_t method) {
  reporter->entriesAdded += 1;
  ZipFolderEvent event{};
  event.kind = ZIPFOLDER_EVENT_ADDED;
  event.name = name;
  event.size = size;
  event.compressedSize = compressedSize;
  event.method = method;
  return Send(reporter, event);
}

void ReportExcluded(Reporter* reporter, bool folder) {
  reporter->filesExcluded += 1;
  reporter->foldersExcluded += folder ? 1 : 0;
}

bool ReportLeftOut(Reporter* reporter, const char* path, std::int32_t reason,
                   std::int32_t systemError) {
  reporter->filesLeftOut += 1;
  char text[kTextBytes];
  DescribeFailure(reason, systemError, text);
  ZipFolderEvent event{};
  event.kind = ZIPFOLDER_EVENT_LEFT_OUT;
  event.name = path;
  event.reason = reason;
  event.reasonText = text;
  event.systemError = systemError;
  return Send(reporter, event);
}

bool ReportSurvey(Reporter* reporter, std::int32_t kind, const char* name, std::uint64_t size) {
  ZipFolderEvent event{};
  event.kind = kind;
  event.name = name;
  event.size = size;
  return Send(reporter, event);
}

void ReportEnd(Reporter* reporter, std::int32_t kind, const char* path, std::uint64_t size,
               std::int32_t systemError, const char* given) {
  char text[kTextBytes];
  DescribeFailure(0, systemError, text);
  ZipFolderEvent event{};
  event.kind = kind;
  event.name = path;
  event.size = size;
  event.reasonText = kind != ZIPFOLDER_EVENT_FAILED ? nullptr : given != nullptr ? given : text;
  event.systemError = systemError;
  // Cancelling now changes nothing: the outcome is settled.
  const bool cancelled = reporter->cancelled;
  reporter->cancelled = false;
  Send(reporter, event);
  reporter->cancelled = cancelled;
}

}  // namespace zf
