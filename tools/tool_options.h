// The tool's command line: options in the GNU and POSIX manner (clustered
// short options, values attached or apart, "--name=value" or "--name
// value", unique prefixes of long names, "--" and operands anywhere),
// parsed the same way on every system the tool builds for.
#pragma once

#include <cstdint>

#include "tool_password.h"
#include "zipfolder.h"

namespace tool {

// Patterns in the order the arguments give them, since the last match wins.
struct PatternList {
  const char** items;
  std::uint32_t count;
  std::uint32_t capacity;
};

struct TextBlock;  // a --exclude-from file's bytes, its lines the patterns

struct Choices {
  ZipFolderOptions options;  // for the library; the callbacks are the caller's to set
  const char* source;
  const char* archive;  // null in a dry run given no archive
  bool quiet;
  bool verbose;
  bool json;
  bool dryRun;
  bool force;      // a file that is no archive may be replaced too
  bool selecting;  // a pattern or --gitignore: the summary counts the excluded
  PatternList exclude;
  PatternList include;
  PatternList named;  // the patterns of -x and -i, not of --exclude-from
  TextBlock* texts;
  PasswordSource passwordSource;
  bool encryptionGiven;
  char* password;  // wiped and freed by ReleaseChoices; null: not encrypted
};

// ParseArguments' result when the tool goes on to pack.
inline constexpr int kGoOn = -1;
inline constexpr int kExitUsage = 2;

// Reads the arguments into choices (zero-filled); kGoOn, or the exit
// status once --help or --version is shown (0) or a usage error is told
// on stderr (kExitUsage).
int ParseArguments(int argc, char** argv, Choices* choices);
void ReleaseChoices(Choices* choices);

// A usage error: "zipfolder: " and the message, with %s for subject (shown
// escaped), and the line that points to --help. Returns kExitUsage.
int UsageError(const char* message, const char* subject);

}  // namespace tool
