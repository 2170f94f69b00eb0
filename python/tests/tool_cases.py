"""Command lines of the tool, shared by its own test (test_tool.py) and by
the comparison of `python -m zipfolder` with it (test_cli.py). In each,
SRC stands for a source folder named src, ARCHIVE for the archive's path
and NEW_ZIP for an archive path that does not exist yet."""

# (arguments, exit status, a text stderr holds; "" for none)
PACKS = [
    (["-qT2", "SRC", "ARCHIVE"], 0, ""),
    (["-q", "-T", "2", "SRC", "ARCHIVE"], 0, ""),
    (["--threads", "2", "--quiet", "SRC", "ARCHIVE"], 0, ""),
    (["--threads=2", "-q9", "SRC", "ARCHIVE"], 0, ""),
    (["-x*.csv", "--exclude", "docs/notes/", "-q", "SRC", "ARCHIVE"], 0, ""),
    (["SRC", "-q", "ARCHIVE"], 0, ""),
    (["-q", "--", "SRC", "ARCHIVE"], 0, ""),
    (["--qui", "--lev=1", "SRC", "ARCHIVE"], 0, ""),
    (["-v", "SRC", "ARCHIVE"], 0, ""),
    (["-q", "-x", "./docs", "SRC", "ARCHIVE"], 0,
     "patterns match names below the folder: try 'docs'"),
    (["-q", "-x", "src/docs", "SRC", "ARCHIVE"], 0, "try 'docs'"),
    (["-i", "*.nomatch", "SRC", "ARCHIVE"], 1, "the patterns left out every file below"),
    (["-n", "SRC"], 0, ""),
    (["--dry-run", "-x", "data", "SRC", "ARCHIVE"], 0, ""),
    (["--json", "-x", "docs", "SRC", "ARCHIVE"], 0, ""),
    (["--json", "-v", "-n", "SRC"], 0, ""),
    (["-h"], 0, ""),
    (["--version"], 0, ""),
]

# Usage errors: exit status 2, this line, and the line that points to --help.
USAGE_ERRORS = [
    (["-q", "-v", "SRC", "ARCHIVE"], "--quiet and --verbose exclude each other"),
    (["-qv", "SRC", "ARCHIVE"], "--quiet and --verbose exclude each other"),
    (["--bogus", "SRC", "ARCHIVE"], "unrecognized option '--bogus'"),
    (["-qZ", "SRC", "ARCHIVE"], "unrecognized option '-Z'"),
    (["--ex=x", "SRC", "ARCHIVE"], "option '--ex' is ambiguous"),
    (["--sort=yes", "SRC", "ARCHIVE"], "option '--sort' takes no value"),
    (["SRC", "ARCHIVE", "-T"], "option '-T' needs a value"),
    (["--level=12", "SRC", "ARCHIVE"], "--level takes a number from 0 to 9, not '12'"),
    (["-10", "SRC", "ARCHIVE"], "--level takes a number from 0 to 9, not '10'"),
    (["-T0", "SRC", "ARCHIVE"], "--threads takes a number from 1 to 256, not '0'"),
    (["--folders", "x", "SRC", "ARCHIVE"], "--folders takes none, empty or all, not 'x'"),
    (["--prefix=../x", "SRC", "ARCHIVE"], "--prefix takes folder names with '/' between them"),
    (["-x", "", "SRC", "ARCHIVE"], "--exclude takes a pattern, not ''"),
    (["--mtime-ceiling=soon", "SRC", "ARCHIVE"], "--mtime-ceiling takes decimal seconds"),
    (["--encryption=des", "SRC", "ARCHIVE"],
     "--encryption takes aes256, aes128 or zipcrypto, not 'des'"),
    (["--encryption=aes128", "SRC", "ARCHIVE"], "--encryption needs a password"),
    (["--password-file=/nonexistent/pw", "SRC", "ARCHIVE"], "cannot read the password file"),
    (["--encrypt", "--password-file=pw", "SRC", "ARCHIVE"],
     "--encrypt and --password-file exclude each other"),
    (["SRC"], "expected a folder and an archive"),
    (["SRC", "ARCHIVE", "third"], "too many arguments: 'third'"),
    (["--json", "SRC", "-"], "--json writes to standard output"),
    (["NEW_ZIP", "SRC"], "is not a folder: the folder comes first, then the archive"),
]

HINT = "Try 'zipfolder --help' for more information.\n"
