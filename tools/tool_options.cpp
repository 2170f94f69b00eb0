// The tool's command line (see tool_options.h). One table names every
// option; the parser below reads clusters, attached and separate values
// and long names from it, so that a new option is one row and one case.
#include "tool_options.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool_output.h"
#include "tool_system.h"

namespace tool {

struct TextBlock {
  TextBlock* next;
  char bytes[1];
};

namespace {

constexpr const char* kUsage =
    "usage: zipfolder [OPTIONS] FOLDER ARCHIVE\n"
    "Packs every file below FOLDER into the new ZIP archive ARCHIVE, named by\n"
    "its path below FOLDER. An existing ARCHIVE is replaced only once the new\n"
    "one is complete. With ARCHIVE '-' the archive goes to standard output,\n"
    "and into a FIFO, pipe or device named as ARCHIVE it is streamed; all\n"
    "messages then go to stderr.\n"
    "\n"
    "  -q, --quiet          print nothing but errors, warnings and files left out\n"
    "  -v, --verbose        list each file as it is added, with its method and ratio\n"
    "  -n, --dry-run        list what would be packed, with sizes and a total;\n"
    "                       write nothing (ARCHIVE may then be left out)\n"
    "      --json           print one JSON object on stdout at the end instead of\n"
    "                       the summary; with -v, one JSON line per event\n"
    "  -0 ... -9, --level=N compression level: 1 fastest, 9 smallest, 0 stores\n"
    "                       every file uncompressed (default: 8)\n"
    "  -T, --threads=N      compress N files at once, 1 to 256 (default: one per\n"
    "                       processor); the archive is the same for every N\n"
    "  -x, --exclude=PATTERN\n"
    "                       leave out what matches PATTERN, a .gitignore line\n"
    "                       matched against names below FOLDER (repeatable; '!'\n"
    "                       takes a name back in; an excluded folder is not walked)\n"
    "      --exclude-from=FILE\n"
    "                       the same for each line of FILE (blank lines and lines\n"
    "                       starting with '#' are ignored)\n"
    "  -i, --include=PATTERN\n"
    "                       pack only files that match one such PATTERN (repeatable)\n"
    "      --gitignore      leave out what git would not track: the rules of every\n"
    "                       .gitignore and of .git/info/exclude, and .git itself\n"
    "      --prefix=PATH    start every name in the archive with PATH/\n"
    "      --folders=WHICH  store entries for no folder ('none', the default), for\n"
    "                       folders with nothing else below them ('empty'), or for\n"
    "                       every folder ('all')\n"
    "      --symlinks       store symbolic links as links instead of following them\n"
    "                       (POSIX; on Windows links are followed)\n"
    "      --sort           take each folder's names in byte order, the same on\n"
    "                       every file system\n"
    "      --store=LIST     store files whose extension is in LIST (comma-separated,\n"
    "                       e.g. 'jpg,zst'; '' for none) as they are, instead of the\n"
    "                       built-in list of compressed formats (see the manual)\n"
    "      --always-deflate keep a file deflated even when that does not make it\n"
    "                       smaller (by default it is stored)\n"
    "      --no-unix-modes  store modes made up from the attributes, under an NTFS\n"
    "                       host, instead of each file's own POSIX mode\n"
    "      --force          replace ARCHIVE even when it is a file that is no ZIP\n"
    "                       archive\n"
    "      --mtime-ceiling=SECONDS\n"
    "                       store no time later than SECONDS since 1970; the\n"
    "                       environment's SOURCE_DATE_EPOCH does the same\n"
    "      --encrypt        encrypt every file with a password asked twice on the\n"
    "                       terminal, without echo\n"
    "      --password-file=FILE\n"
    "                       encrypt with the first line of FILE as the password;\n"
    "                       the environment's ZIPFOLDER_PASSWORD does the same\n"
    "      --encryption=KIND\n"
    "                       aes256 (the default), aes128, or zipcrypto: weak, for\n"
    "                       readers that open nothing else (see the manual)\n"
    "  -h, --help           show this text\n"
    "  -V, --version        show the version\n"
    "\n"
    "A pattern that matches no name is named in a warning. When the patterns\n"
    "leave out every file, no archive is written.\n"
    "\n"
    "A reproducible archive of a git checkout, without .git and its ignored\n"
    "files:\n"
    "  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) \\\n"
    "    zipfolder --gitignore --sort --prefix=project . ../project.zip\n"
    "\n"
    "Exit status: 0 every file packed; 3 the archive is written but some\n"
    "files were left out (each is named on stderr); 1 the source cannot be\n"
    "read, the patterns left out every file, or the archive cannot be created\n"
    "or written (nothing is replaced; a streamed archive is incomplete); 2\n"
    "wrong arguments, standard output is a terminal for '-', or ARCHIVE is a\n"
    "file that is no ZIP archive and --force is not given; 128+N ended by\n"
    "signal N (130: Ctrl-C), nothing replaced unless the archive was complete.\n";

enum class Id {
  kHelp,
  kVersion,
  kQuiet,
  kVerbose,
  kDryRun,
  kJson,
  kLevel,
  kThreads,
  kExclude,
  kExcludeFrom,
  kInclude,
  kGitignore,
  kPrefix,
  kFolders,
  kSymlinks,
  kSort,
  kStore,
  kAlwaysDeflate,
  kNoUnixModes,
  kForce,
  kMtimeCeiling,
  kEncrypt,
  kPasswordFile,
  kEncryption,
};

struct Option {
  const char* name;  // the long name, without "--"
  char letter;       // the short name; 0 for none
  bool takesValue;
  Id id;
};

constexpr Option kOptions[] = {
    {"help", 'h', false, Id::kHelp},
    {"version", 'V', false, Id::kVersion},
    {"quiet", 'q', false, Id::kQuiet},
    {"verbose", 'v', false, Id::kVerbose},
    {"dry-run", 'n', false, Id::kDryRun},
    {"json", 0, false, Id::kJson},
    {"level", 0, true, Id::kLevel},
    {"threads", 'T', true, Id::kThreads},
    {"exclude", 'x', true, Id::kExclude},
    {"exclude-from", 0, true, Id::kExcludeFrom},
    {"include", 'i', true, Id::kInclude},
    {"gitignore", 0, false, Id::kGitignore},
    {"prefix", 0, true, Id::kPrefix},
    {"folders", 0, true, Id::kFolders},
    {"symlinks", 0, false, Id::kSymlinks},
    {"sort", 0, false, Id::kSort},
    {"store", 0, true, Id::kStore},
    {"always-deflate", 0, false, Id::kAlwaysDeflate},
    {"no-unix-modes", 0, false, Id::kNoUnixModes},
    {"force", 0, false, Id::kForce},
    {"mtime-ceiling", 0, true, Id::kMtimeCeiling},
    {"encrypt", 0, false, Id::kEncrypt},
    {"password-file", 0, true, Id::kPasswordFile},
    {"encryption", 0, true, Id::kEncryption},
};

// What the options chose that the record does not hold until the end.
struct Pending {
  std::uint32_t flags;
  bool ceilingGiven;
  bool keepModes;   // --no-unix-modes not given
  bool storeSmall;  // --always-deflate not given
};

// A number from low to high in decimal, or -1.
long long ParseNumber(const char* text, long long high) {
  if (text == nullptr || *text == 0) return -1;
  long long value = 0;
  for (; *text != 0; ++text) {
    if (*text < '0' || *text > '9') return -1;
    value = value * 10 + (*text - '0');
    if (value > high) return -1;
  }
  return value;
}

bool AddPattern(PatternList* list, const char* pattern) {
  if (list->count == list->capacity) {
    const std::uint32_t capacity = list->capacity == 0 ? 16 : list->capacity * 2;
    auto** items = static_cast<const char**>(std::malloc(sizeof(char*) * capacity));
    if (items == nullptr) return false;
    if (list->count != 0) std::memcpy(items, list->items, sizeof(char*) * list->count);
    std::free(list->items);
    list->items = items;
    list->capacity = capacity;
  }
  list->items[list->count++] = pattern;
  return true;
}

// Adds the lines of the file at path but blank ones and comments; false
// with errno set when it cannot be read.
bool AddPatternFile(PatternList* list, TextBlock** texts, const char* path) {
  std::FILE* file = OpenForReading(path);
  if (file == nullptr) return false;
  std::size_t size = 0;
  std::size_t capacity = 4096;
  auto* block = static_cast<TextBlock*>(std::malloc(offsetof(TextBlock, bytes) + capacity + 1));
  while (block != nullptr) {
    size += std::fread(block->bytes + size, 1, capacity - size, file);
    if (size < capacity) break;
    capacity *= 2;
    auto* larger =
        static_cast<TextBlock*>(std::realloc(block, offsetof(TextBlock, bytes) + capacity + 1));
    if (larger == nullptr) std::free(block);
    block = larger;
  }
  const bool failed = block == nullptr || std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    std::free(block);
    return false;
  }
  block->next = *texts;
  *texts = block;
  char* const stop = block->bytes + size;
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

// The number named value among names, or -1.
std::int32_t Pick(const char* value, const char* const (&names)[3],
                  const std::int32_t (&numbers)[3]) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::strcmp(value, names[i]) == 0) return numbers[i];
  }
  return -1;
}

// Takes one option and its value (null when it takes none); kGoOn or the
// exit status.
int Apply(const Option& option, const char* value, Choices* c, Pending* pending) {
  ZipFolderOptions& o = c->options;
  switch (option.id) {
    case Id::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case Id::kVersion:
      std::printf("zipfolder %s\n", ZIPFOLDER_VERSION);
      return 0;
    case Id::kQuiet:
      c->quiet = true;
      break;
    case Id::kVerbose:
      c->verbose = true;
      break;
    case Id::kDryRun:
      c->dryRun = true;
      break;
    case Id::kJson:
      c->json = true;
      break;
    case Id::kLevel: {
      const long long level = ParseNumber(value, 9);
      if (level < 0) return UsageError("--level takes a number from 0 to 9, not '%s'", value);
      o.level = level == 0 ? ZIPFOLDER_LEVEL_STORE : static_cast<std::int32_t>(level);
      break;
    }
    case Id::kThreads: {
      const long long threads = ParseNumber(value, 256);
      if (threads < 1) return UsageError("--threads takes a number from 1 to 256, not '%s'", value);
      o.threads = static_cast<std::uint32_t>(threads);
      break;
    }
    case Id::kExclude:
    case Id::kInclude:
      if (*value == 0) {
        return UsageError(option.id == Id::kExclude ? "--exclude takes a pattern, not '%s'"
                                                    : "--include takes a pattern, not '%s'",
                          value);
      }
      if (!AddPattern(option.id == Id::kExclude ? &c->exclude : &c->include, value) ||
          !AddPattern(&c->named, value)) {
        return UsageError("out of memory%s", "");
      }
      c->selecting = true;
      break;
    case Id::kExcludeFrom:
      if (!AddPatternFile(&c->exclude, &c->texts, value)) {
        return UsageError("cannot read the patterns of '%s'", value);
      }
      c->selecting = true;
      break;
    case Id::kGitignore:
      pending->flags |= ZIPFOLDER_FLAG_GITIGNORE;
      c->selecting = true;
      break;
    case Id::kPrefix:
      o.prefix = value;
      break;
    case Id::kFolders:
      o.folders = Pick(value, {"none", "empty", "all"},
                       {ZIPFOLDER_FOLDERS_NONE, ZIPFOLDER_FOLDERS_EMPTY, ZIPFOLDER_FOLDERS_ALL});
      if (o.folders < 0) return UsageError("--folders takes none, empty or all, not '%s'", value);
      break;
    case Id::kSymlinks:
      pending->flags |= ZIPFOLDER_FLAG_SYMLINKS;
      break;
    case Id::kSort:
      pending->flags |= ZIPFOLDER_FLAG_SORT;
      break;
    case Id::kStore:
      o.storedTypes = value;
      break;
    case Id::kAlwaysDeflate:
      pending->storeSmall = false;
      break;
    case Id::kNoUnixModes:
      pending->keepModes = false;
      break;
    case Id::kForce:
      c->force = true;
      break;
    case Id::kMtimeCeiling: {
      const long long seconds = ParseNumber(value, INT64_MAX / 10);
      if (seconds < 0) {
        return UsageError("--mtime-ceiling takes decimal seconds since 1970, not '%s'", value);
      }
      o.mtimeCeiling = seconds;
      pending->ceilingGiven = true;
      break;
    }
    case Id::kEncrypt:
      c->passwordSource.ask = true;
      break;
    case Id::kPasswordFile:
      c->passwordSource.file = value;
      break;
    case Id::kEncryption:
      o.encryption = Pick(value, {"aes256", "aes128", "zipcrypto"},
                          {ZIPFOLDER_ENCRYPTION_AES256, ZIPFOLDER_ENCRYPTION_AES128,
                           ZIPFOLDER_ENCRYPTION_ZIPCRYPTO});
      if (o.encryption < 0) {
        return UsageError("--encryption takes aes256, aes128 or zipcrypto, not '%s'", value);
      }
      c->encryptionGiven = true;
      break;
  }
  return kGoOn;
}

// The option whose long name is name (length bytes) or starts so, when
// only one does; null after telling why there is none.
const Option* FindLong(const char* name, std::size_t length, const char* arg) {
  const Option* found = nullptr;
  int matches = 0;
  for (const Option& option : kOptions) {
    if (std::strncmp(option.name, name, length) != 0) continue;
    if (option.name[length] == 0) return &option;  // exact: no prefix competes
    found = &option;
    ++matches;
  }
  if (matches == 1) return found;
  UsageError(matches == 0 ? "unrecognized option '%s'" : "option '%s' is ambiguous", arg);
  return nullptr;
}

const Option* FindShort(char letter) {
  for (const Option& option : kOptions) {
    if (option.letter == letter) return &option;
  }
  return nullptr;
}

constexpr Option kDigitLevel = {"level", 0, true, Id::kLevel};

// "--name", "--name=value" or "--name value" at argv[*i].
int ReadLong(int argc, char** argv, int* i, Choices* c, Pending* pending) {
  const char* arg = argv[*i];
  const char* name = arg + 2;
  const char* equals = std::strchr(name, '=');
  const std::size_t length =
      equals != nullptr ? static_cast<std::size_t>(equals - name) : std::strlen(name);
  char shown[64];
  std::snprintf(shown, sizeof shown, "--%.*s", static_cast<int>(length), name);
  const Option* option = FindLong(name, length, shown);
  if (option == nullptr) return kExitUsage;
  std::snprintf(shown, sizeof shown, "--%s", option->name);
  if (!option->takesValue) {
    if (equals != nullptr) return UsageError("option '%s' takes no value", shown);
    return Apply(*option, nullptr, c, pending);
  }
  const char* value = equals != nullptr ? equals + 1 : nullptr;
  if (value == nullptr && *i + 1 < argc) value = argv[++*i];
  if (value == nullptr) return UsageError("option '%s' needs a value", shown);
  return Apply(*option, value, c, pending);
}

// A cluster of short options ("-qvT2", "-x PATTERN", "-9") at argv[*i].
int ReadShort(int argc, char** argv, int* i, Choices* c, Pending* pending) {
  const char* arg = argv[*i];
  for (std::size_t j = 1; arg[j] != 0; ++j) {
    if (arg[j] >= '0' && arg[j] <= '9') {
      // One digit is a level; more ("-10") are a level that is none.
      std::size_t end = j;
      while (arg[end] >= '0' && arg[end] <= '9' && end - j < 15) ++end;
      char digits[16] = {};
      std::memcpy(digits, arg + j, end - j);
      if (end - j != 1) return UsageError("--level takes a number from 0 to 9, not '%s'", digits);
      const int status = Apply(kDigitLevel, digits, c, pending);
      if (status != kGoOn) return status;
      continue;
    }
    const char letter[3] = {'-', arg[j], 0};
    const Option* option = FindShort(arg[j]);
    if (option == nullptr) return UsageError("unrecognized option '%s'", letter);
    if (!option->takesValue) {
      const int status = Apply(*option, nullptr, c, pending);
      if (status != kGoOn) return status;
      continue;
    }
    // The rest of the argument is the value, or else the next argument.
    const char* value = arg[j + 1] != 0 ? arg + j + 1 : *i + 1 < argc ? argv[++*i] : nullptr;
    if (value == nullptr) return UsageError("option '%s' needs a value", letter);
    return Apply(*option, value, c, pending);
  }
  return kGoOn;
}

}  // namespace

int UsageError(const char* message, const char* subject) {
  const char* at = std::strstr(message, "%s");
  std::fputs("zipfolder: ", stderr);
  std::fwrite(message, 1, static_cast<std::size_t>(at - message), stderr);
  PrintEscaped(stderr, subject);
  std::fprintf(stderr, "%s\nTry 'zipfolder --help' for more information.\n", at + 2);
  return kExitUsage;
}

int ParseArguments(int argc, char** argv, Choices* c) {
  Pending pending{0, false, true, true};
  const char* operands[2] = {};
  int count = 0;
  bool optionsEnded = false;
  // One per processor: the library never starts more workers than those.
  c->options.threads = 256;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    int status = kGoOn;
    if (optionsEnded || arg[0] != '-' || arg[1] == 0) {
      if (count == 2) return UsageError("too many arguments: '%s'", arg);
      operands[count++] = arg;
    } else if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (arg[1] == '-') {
      status = ReadLong(argc, argv, &i, c, &pending);
    } else {
      status = ReadShort(argc, argv, &i, c, &pending);
    }
    if (status != kGoOn) return status;
  }
  if (count < (c->dryRun ? 1 : 2)) return UsageError("expected a folder and an archive%s", "");
  if (*operands[0] == 0 || (count == 2 && *operands[1] == 0)) {
    return UsageError("the folder and the archive must not be empty%s", "");
  }
  if (c->quiet && c->verbose) return UsageError("--quiet and --verbose exclude each other%s", "");
  c->source = operands[0];
  c->archive = count == 2 ? operands[1] : nullptr;
  if (c->json && c->archive != nullptr && std::strcmp(c->archive, "-") == 0 && !c->dryRun) {
    return UsageError("--json writes to standard output, which cannot take the archive too%s", "");
  }
  // The convention of reproducible builds; the option, when given, wins.
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (!pending.ceilingGiven && epoch != nullptr && *epoch != 0) {
    const long long seconds = ParseNumber(epoch, INT64_MAX / 10);
    if (seconds < 0) {
      return UsageError("SOURCE_DATE_EPOCH must be decimal seconds since 1970, not '%s'", epoch);
    }
    c->options.mtimeCeiling = seconds;
    pending.ceilingGiven = true;
  }
  // A dry run writes nothing, so it needs no password.
  if (!c->dryRun) {
    const int status = ObtainPassword(c->passwordSource, &c->password);
    if (status != kGoOn) return status;
    if (c->password == nullptr && c->encryptionGiven) {
      return UsageError(
          "--encryption needs a password: --encrypt, --password-file or ZIPFOLDER_PASSWORD%s", "");
    }
    c->options.password = c->password;
  }
  std::uint32_t flags = pending.flags | ZIPFOLDER_FLAG_STORE_TYPES | ZIPFOLDER_FLAG_REFUSE_EMPTY |
                        ZIPFOLDER_FLAG_TELL_UNMATCHED;
  if (pending.ceilingGiven) flags |= ZIPFOLDER_FLAG_MTIME_CEILING;
  if (pending.keepModes) flags |= ZIPFOLDER_FLAG_UNIX_MODES;
  if (pending.storeSmall) flags |= ZIPFOLDER_FLAG_STORE_INCOMPRESSIBLE;
  if (c->dryRun) flags |= ZIPFOLDER_FLAG_DRY_RUN;
  c->options.size = sizeof c->options;
  c->options.flags = flags;
  c->options.exclude = c->exclude.items;
  c->options.excludeCount = c->exclude.count;
  c->options.include = c->include.items;
  c->options.includeCount = c->include.count;
  return kGoOn;
}

void ReleaseChoices(Choices* c) {
  ReleasePassword(c->password);
  c->password = nullptr;
  c->options.password = nullptr;
  std::free(c->exclude.items);
  std::free(c->include.items);
  std::free(c->named.items);
  while (TextBlock* block = c->texts) {
    c->texts = block->next;
    std::free(block);
  }
}

}  // namespace tool
