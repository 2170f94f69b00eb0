// Choosing what the walk takes: the caller's exclude and include patterns
// and, when asked, the rules of the .gitignore files in the tree, all with
// the syntax and meaning of .gitignore lines. The walk asks one question per
// name it meets (pack it, skip it, or walk into it); the rules of a folder's
// .gitignore come and go with the folder.
//
// Precedence follows git: the caller's exclude patterns first, then the
// .gitignore files from the deepest folder up to the source folder, then the
// repository's .git/info/exclude. The first of these with a pattern that
// matches decides, and within one the last matching pattern does; a pattern
// with "!" takes the name back in. An excluded folder is not walked, so
// nothing below it can be taken back in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zf {

enum class NameChoice : std::int32_t {
  kPack,      // a file (or link) to pack
  kSkip,      // excluded, or not included: leave it out without a word
  kWalkInto,  // a folder to walk
};

struct PatternList;  // the patterns of one source in one block
struct FilterLevel;  // what one walked folder adds

// What the caller chose to leave out or take in.
struct NameFilterChoice {
  const char* const* exclude;
  std::uint32_t excludeCount;
  const char* const* include;
  std::uint32_t includeCount;
  bool gitignore;  // the .gitignore files, .git/info/exclude and .git itself
};

struct NameFilter {
  PatternList* exclude;      // null when none
  PatternList* include;      // null: every file is wanted
  PatternList* infoExclude;  // the repository's, below every .gitignore
  FilterLevel* levels;       // one per folder the walk is in, the root first
  std::size_t depth;
  std::size_t capacity;
  char* path;  // kMaxPathBytes, where the .gitignore files' paths are made
  char* name;  // kMaxPathBytes, a name with "/" where the system has "\\"
  bool gitignore;
  bool foldCase;  // names match without regard to ASCII case (Windows)
};

// Compiles the patterns, and with gitignore reads root/.git/info/exclude.
// False when memory is short; the filter then holds nothing.
bool NameFilterOpen(NameFilter* filter, const NameFilterChoice& choice, const char* root);
void NameFilterClose(NameFilter* filter);

// The walk went into the folder at path, named relative below the root (""
// for the root itself): its .gitignore joins the rules. False when memory
// is short; the folder must not be walked then.
bool NameFilterEnter(NameFilter* filter, const char* path, const char* relative);
// The walk left the folder entered last.
void NameFilterLeave(NameFilter* filter);

// What to do with the name relative below the root, met in the folder
// entered last.
NameChoice NameFilterChoose(NameFilter* filter, const char* relative, bool isFolder);

// Whether the caller's exclude (or include) pattern at index decided a name
// since the filter was opened: one that never did matched nothing.
bool NameFilterPatternUsed(const NameFilter& filter, bool include, std::uint32_t index);

// Whether a whole name matches one pattern (the matcher itself, for tests).
bool PatternMatches(const char* pattern, const char* name, bool foldCase);

}  // namespace zf
