// The matcher behind the walk's one question per name: patterns compiled
// once per source, and the .gitignore of each walked folder read as the walk
// goes into it.
#include "entry/name_filter.h"

#include <cstring>

#include "platform/platform.h"

namespace zf {

struct Pattern {
  const char* text;  // without its "!", leading "/" and trailing "/"
  bool negated;
  bool folderOnly;     // it ended with "/"
  bool anchored;       // it holds a "/": matched against the whole name below its base
  bool used;           // it decided a name: set by the walk's own thread only
  std::uint32_t line;  // which of its source's lines or strings it came from
};

struct PatternList {
  std::size_t count;
  // Bytes of the relative name of the folder the patterns apply below,
  // with its "/"; 0 for the root.
  std::size_t baseLength;
  Pattern patterns[1];  // count records, then their texts
};

struct FilterLevel {
  PatternList* ignore;  // the folder's .gitignore; null when none
  bool included;        // the folder matched an include pattern, itself or by a parent
};

namespace {

// A .gitignore larger than this is read no further: no real one comes near.
constexpr std::uint64_t kMostIgnoreBytes = std::uint64_t{8} << 20;

char Fold(char c, bool fold) {
  return fold && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ---------------------------------------------------------------------------
// The wildcard matcher. "*" and "?" and classes stop at "/", "**" between
// slashes crosses them. A failed "*" tells the "*" before it whether moving
// on can help: once a lone "*" would have to cross a "/", only a "**" can,
// and once the name is used up, nothing can. This bounds the work to about
// the pattern's length times the name's, whatever the pattern.

enum class Wild { kMatch, kNoMatch, kAbortAll, kAbortToStarStar };

// The class at p (just past "["), against c; *end is set past its "]".
// False for an unterminated class, which matches nothing.
bool MatchClass(const char* p, char c, bool fold, bool* matched, const char** end) {
  const bool negated = *p == '!' || *p == '^';
  if (negated) ++p;
  bool hit = false;
  char previous = 0;
  const char folded = Fold(c, fold);
  bool first = true;
  for (; first || *p != ']'; ++p, first = false) {
    char pc = *p;
    if (pc == 0) return false;
    if (pc == '\\') {
      pc = *++p;
      if (pc == 0) return false;
      if (Fold(pc, fold) == folded) hit = true;
    } else if (pc == '-' && previous != 0 && p[1] != 0 && p[1] != ']') {
      char high = *++p;
      if (high == '\\') {
        high = *++p;
        if (high == 0) return false;
      }
      if ((c >= previous && c <= high) ||
          (folded >= Fold(previous, fold) && folded <= Fold(high, fold))) {
        hit = true;
      }
      pc = 0;  // a range does not start another one
    } else if (Fold(pc, fold) == folded) {
      hit = true;
    }
    previous = pc;
  }
  *end = p + 1;
  *matched = hit != negated;
  return true;
}

Wild MatchFrom(const char* start, const char* p, const char* t, bool fold) {
  for (; *p != 0; ++p, ++t) {
    if (*t == 0 && *p != '*') return Wild::kAbortAll;
    switch (*p) {
      case '?':
        if (*t == '/') return Wild::kNoMatch;
        break;
      case '[': {
        bool matched = false;
        const char* end = nullptr;
        if (!MatchClass(p + 1, *t, fold, &matched, &end)) return Wild::kAbortAll;
        if (!matched || *t == '/') return Wild::kNoMatch;
        p = end - 1;
        break;
      }
      case '*': {
        bool crossing = false;
        const char* first = p;
        if (p[1] == '*') {
          while (p[1] == '*') ++p;
          // "**" crosses folders only as a whole level: at the start or
          // after "/", and at the end or before "/".
          if ((first == start || first[-1] == '/') && (p[1] == 0 || p[1] == '/')) {
            crossing = true;
            // "**/" also matches no folder at all.
            if (p[1] == '/' && MatchFrom(start, p + 2, t, fold) == Wild::kMatch) {
              return Wild::kMatch;
            }
          }
        }
        ++p;
        if (*p == 0) {
          if (!crossing && std::strchr(t, '/') != nullptr) return Wild::kAbortToStarStar;
          return Wild::kMatch;
        }
        for (; *t != 0; ++t) {
          const Wild result = MatchFrom(start, p, t, fold);
          if (result != Wild::kNoMatch) {
            if (!crossing || result != Wild::kAbortToStarStar) return result;
          } else if (!crossing && *t == '/') {
            return Wild::kAbortToStarStar;
          }
        }
        return Wild::kAbortAll;
      }
      case '\\':
        // A "\" escapes the next character; a trailing one matches nothing.
        if (p[1] == 0) return Wild::kAbortAll;
        ++p;
        [[fallthrough]];
      default:
        if (Fold(*p, fold) != Fold(*t, fold)) return Wild::kNoMatch;
        break;
    }
  }
  return *t == 0 ? Wild::kMatch : Wild::kNoMatch;
}

// ---------------------------------------------------------------------------
// Compiling patterns.

struct PatternText {
  const char* text;
  std::size_t length;
};

// The pattern's bytes as .gitignore reads a line: trailing spaces dropped
// unless escaped. False for a line that holds no pattern.
bool ParsePattern(PatternText line, Pattern* pattern, PatternText* body) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < line.length; ++i) {
    if (line.text[i] == '\\' && i + 1 < line.length) {
      ++i;
      end = i + 1;
    } else if (line.text[i] != ' ') {
      end = i + 1;
    }
  }
  const char* text = line.text;
  *pattern = Pattern{};
  if (end != 0 && text[0] == '!') {
    pattern->negated = true;
    ++text;
    --end;
  }
  if (end != 0 && text[end - 1] == '/') {
    pattern->folderOnly = true;
    --end;
  }
  pattern->anchored = std::memchr(text, '/', end) != nullptr;
  if (end != 0 && text[0] == '/') {
    ++text;
    --end;
  }
  *body = PatternText{text, end};
  return end != 0;
}

// One block for the patterns of one source; null when none of the lines
// holds a pattern, or memory is short (*failed set).
PatternList* CompileList(const PatternText* lines, std::size_t count, std::size_t baseLength,
                         bool* failed) {
  std::size_t patterns = 0;
  std::size_t textBytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Pattern pattern;
    PatternText body;
    if (ParsePattern(lines[i], &pattern, &body)) {
      patterns += 1;
      textBytes += body.length + 1;
    }
  }
  if (patterns == 0) return nullptr;
  const std::size_t recordBytes = offsetof(PatternList, patterns) + patterns * sizeof(Pattern);
  auto* list = static_cast<PatternList*>(OsAllocate(recordBytes + textBytes));
  if (list == nullptr) {
    *failed = true;
    return nullptr;
  }
  list->count = 0;
  list->baseLength = baseLength;
  char* texts = reinterpret_cast<char*>(list) + recordBytes;
  for (std::size_t i = 0; i < count; ++i) {
    Pattern pattern;
    PatternText body;
    if (!ParsePattern(lines[i], &pattern, &body)) continue;
    pattern.line = static_cast<std::uint32_t>(i);
    std::memcpy(texts, body.text, body.length);
    texts[body.length] = 0;
    pattern.text = texts;
    texts += body.length + 1;
    list->patterns[list->count++] = pattern;
  }
  return list;
}

PatternList* CompileStrings(const char* const* strings, std::uint32_t count, bool* failed) {
  if (count == 0) return nullptr;
  auto* lines = static_cast<PatternText*>(OsAllocate(sizeof(PatternText) * count));
  if (lines == nullptr) {
    *failed = true;
    return nullptr;
  }
  for (std::uint32_t i = 0; i < count; ++i)
    lines[i] = PatternText{strings[i], std::strlen(strings[i])};
  PatternList* list = CompileList(lines, count, 0, failed);
  OsRelease(lines);
  return list;
}

// The lines of a file as .gitignore has them: split at line feeds, a
// carriage return before one dropped, blank lines and comments skipped (a
// BOM at the start is no part of the first line).
PatternList* CompileFileLines(char* bytes, std::size_t length, std::size_t baseLength,
                              bool* failed) {
  std::size_t start = 0;
  if (length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) start = 3;
  std::size_t lineCount = 1;
  for (std::size_t i = start; i < length; ++i) lineCount += bytes[i] == '\n' ? 1 : 0;
  auto* lines = static_cast<PatternText*>(OsAllocate(sizeof(PatternText) * lineCount));
  if (lines == nullptr) {
    *failed = true;
    return nullptr;
  }
  std::size_t count = 0;
  while (start < length) {
    std::size_t end = start;
    while (end < length && bytes[end] != '\n') ++end;
    std::size_t lineEnd = end;
    if (lineEnd > start && bytes[lineEnd - 1] == '\r') --lineEnd;
    if (lineEnd > start && bytes[start] != '#') {
      lines[count++] = PatternText{bytes + start, lineEnd - start};
    }
    start = end + 1;
  }
  PatternList* list = CompileList(lines, count, baseLength, failed);
  OsRelease(lines);
  return list;
}

// The patterns of the file at path; null when it does not exist, cannot
// be read or holds none (*failed set only when memory is short).
PatternList* ReadPatternFile(const char* path, std::size_t baseLength, bool* failed) {
  const OsFile file = OsOpenSource(path);
  if (file == kNoFile) return nullptr;
  OsFileFacts facts{};
  PatternList* list = nullptr;
  if (OsGetFacts(file, &facts) && facts.size != 0) {
    const std::size_t size =
        static_cast<std::size_t>(facts.size < kMostIgnoreBytes ? facts.size : kMostIgnoreBytes);
    auto* bytes = static_cast<char*>(OsAllocate(size));
    std::uint32_t got = 0;
    if (bytes == nullptr) {
      *failed = true;
    } else if (OsRead(file, bytes, static_cast<std::uint32_t>(size), &got)) {
      list = CompileFileLines(bytes, got, baseLength, failed);
    }
    OsRelease(bytes);
  }
  OsClose(file);
  return list;
}

// The path of a file in the folder at folder; false when it is too long.
bool ComposePath(char* buffer, const char* folder, const char* tail) {
  const std::size_t folderLength = std::strlen(folder);
  const std::size_t tailLength = std::strlen(tail);
  if (folderLength + 1 + tailLength >= kMaxPathBytes) return false;
  std::memcpy(buffer, folder, folderLength);
  std::size_t at = folderLength;
  if (at == 0 || (buffer[at - 1] != kPathSeparator && buffer[at - 1] != '/')) {
    buffer[at++] = kPathSeparator;
  }
  std::memcpy(buffer + at, tail, tailLength + 1);
  return true;
}

// ---------------------------------------------------------------------------
// Deciding.

enum class Verdict { kNone, kMatched, kNegated };

const char* LastLevel(const char* name) {
  const char* slash = std::strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

// What the list says of the name: its last matching pattern.
Verdict ListVerdict(PatternList* list, const char* relative, bool isFolder, bool fold) {
  if (list == nullptr) return Verdict::kNone;
  const char* name = relative + list->baseLength;
  const char* last = LastLevel(name);
  for (std::size_t i = list->count; i-- > 0;) {
    Pattern& pattern = list->patterns[i];
    if (pattern.folderOnly && !isFolder) continue;
    const char* subject = pattern.anchored ? name : last;
    if (MatchFrom(pattern.text, pattern.text, subject, fold) == Wild::kMatch) {
      pattern.used = true;
      return pattern.negated ? Verdict::kNegated : Verdict::kMatched;
    }
  }
  return Verdict::kNone;
}

bool IsGitFolderName(const char* name, bool fold) {
  return name[0] == '.' && Fold(name[1], fold) == 'g' && Fold(name[2], fold) == 'i' &&
         Fold(name[3], fold) == 't' && name[4] == 0;
}

bool IsExcluded(const NameFilter& filter, const char* relative, bool isFolder) {
  if (filter.gitignore && IsGitFolderName(LastLevel(relative), filter.foldCase)) return true;
  Verdict verdict = ListVerdict(filter.exclude, relative, isFolder, filter.foldCase);
  for (std::size_t level = filter.depth; verdict == Verdict::kNone && level-- > 0;) {
    verdict = ListVerdict(filter.levels[level].ignore, relative, isFolder, filter.foldCase);
  }
  if (verdict == Verdict::kNone) {
    verdict = ListVerdict(filter.infoExclude, relative, isFolder, filter.foldCase);
  }
  return verdict == Verdict::kMatched;
}

// A name is included when it matches an include pattern, or when nothing
// in the list speaks of it and its folder is included.
bool IsIncluded(const NameFilter& filter, const char* relative, bool isFolder) {
  if (filter.include == nullptr) return true;
  const Verdict verdict = ListVerdict(filter.include, relative, isFolder, filter.foldCase);
  if (verdict != Verdict::kNone) return verdict == Verdict::kMatched;
  return filter.depth != 0 && filter.levels[filter.depth - 1].included;
}

// The name with "/" between its levels, as the patterns have it.
const char* PortableName(NameFilter* filter, const char* relative) {
  if (kPathSeparator == '/') return relative;
  std::size_t i = 0;
  for (; relative[i] != 0 && i + 1 < kMaxPathBytes; ++i) {
    filter->name[i] = relative[i] == kPathSeparator ? '/' : relative[i];
  }
  filter->name[i] = 0;
  return filter->name;
}

}  // namespace

bool PatternMatches(const char* pattern, const char* name, bool foldCase) {
  return MatchFrom(pattern, pattern, name, foldCase) == Wild::kMatch;
}

bool NameFilterOpen(NameFilter* filter, const NameFilterChoice& choice, const char* root) {
  *filter = NameFilter{};
  filter->gitignore = choice.gitignore;
  filter->foldCase = kPathSeparator == '\\';
  bool failed = false;
  filter->exclude = CompileStrings(choice.exclude, choice.excludeCount, &failed);
  filter->include = CompileStrings(choice.include, choice.includeCount, &failed);
  filter->path = static_cast<char*>(OsAllocate(kMaxPathBytes));
  if (kPathSeparator != '/') filter->name = static_cast<char*>(OsAllocate(kMaxPathBytes));
  if (filter->path == nullptr || (kPathSeparator != '/' && filter->name == nullptr)) failed = true;
  if (!failed && choice.gitignore) {
    char tail[] = ".git/info/exclude";
    if (kPathSeparator != '/') {
      for (char& c : tail) c = c == '/' ? kPathSeparator : c;
    }
    if (ComposePath(filter->path, root, tail) && !OsIsFolder(filter->path)) {
      filter->infoExclude = ReadPatternFile(filter->path, 0, &failed);
    }
  }
  if (failed) NameFilterClose(filter);
  return !failed;
}

void NameFilterClose(NameFilter* filter) {
  while (filter->depth > 0) NameFilterLeave(filter);
  OsRelease(filter->levels);
  OsRelease(filter->exclude);
  OsRelease(filter->include);
  OsRelease(filter->infoExclude);
  OsRelease(filter->path);
  OsRelease(filter->name);
  *filter = NameFilter{};
}

bool NameFilterEnter(NameFilter* filter, const char* path, const char* relative) {
  if (filter->depth == filter->capacity) {
    const std::size_t capacity = filter->capacity == 0 ? 16 : filter->capacity * 2;
    auto* levels = static_cast<FilterLevel*>(OsAllocate(sizeof(FilterLevel) * capacity));
    if (levels == nullptr) return false;
    if (filter->depth != 0)
      std::memcpy(levels, filter->levels, sizeof(FilterLevel) * filter->depth);
    OsRelease(filter->levels);
    filter->levels = levels;
    filter->capacity = capacity;
  }
  FilterLevel level{nullptr, false};
  if (*relative != 0) level.included = IsIncluded(*filter, PortableName(filter, relative), true);
  if (filter->gitignore && ComposePath(filter->path, path, ".gitignore")) {
    bool failed = false;
    const std::size_t base = *relative == 0 ? 0 : std::strlen(relative) + 1;
    level.ignore = ReadPatternFile(filter->path, base, &failed);
    if (failed) return false;
  }
  filter->levels[filter->depth++] = level;
  return true;
}

void NameFilterLeave(NameFilter* filter) {
  filter->depth -= 1;
  OsRelease(filter->levels[filter->depth].ignore);
}

bool NameFilterPatternUsed(const NameFilter& filter, bool include, std::uint32_t index) {
  const PatternList* list = include ? filter.include : filter.exclude;
  for (std::size_t i = 0; list != nullptr && i < list->count; ++i) {
    if (list->patterns[i].line == index && list->patterns[i].used) return true;
  }
  return false;
}

NameChoice NameFilterChoose(NameFilter* filter, const char* relative, bool isFolder) {
  const char* name = PortableName(filter, relative);
  if (IsExcluded(*filter, name, isFolder)) return NameChoice::kSkip;
  if (isFolder) return NameChoice::kWalkInto;
  return IsIncluded(*filter, name, false) ? NameChoice::kPack : NameChoice::kSkip;
}

}  // namespace zf
