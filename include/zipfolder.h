/* zipfolder: pack a folder tree into a new ZIP archive in one call. */
#ifndef ZIPFOLDER_H
#define ZIPFOLDER_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header, which is the library's: the build takes its
   own version from these lines. */
#define ZIPFOLDER_VERSION_MAJOR 1
#define ZIPFOLDER_VERSION_MINOR 0
#define ZIPFOLDER_VERSION_PATCH 0
#define ZIPFOLDER_VERSION "1.0.0"

#if defined(_WIN32)
#define ZIPFOLDER_CALL __cdecl
#if defined(ZIPFOLDER_BUILDING)
#define ZIPFOLDER_API __declspec(dllexport)
#else
#define ZIPFOLDER_API __declspec(dllimport)
#endif
#else
#define ZIPFOLDER_CALL
#if defined(ZIPFOLDER_BUILDING)
#define ZIPFOLDER_API __attribute__((visibility("default")))
#else
#define ZIPFOLDER_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Creates (or replaces) the archive zipPath and adds every file below
   srcFolder under its path relative to srcFolder, with "/" between folders.
   Files that cannot be read are left out; nothing is reported. A null or
   empty argument does nothing at all. */
ZIPFOLDER_API void ZIPFOLDER_CALL CompFilesToZipFile(const char* srcFolder, const char* zipPath);

#if defined(_WIN32)
/* The same with UTF-16 paths, for paths the ANSI code page cannot spell. On
   Windows the narrow function takes its paths in the ANSI code page. */
ZIPFOLDER_API void ZIPFOLDER_CALL CompFilesToZipFileW(const wchar_t* srcFolder,
                                                      const wchar_t* zipPath);
#endif

/* The outcome of CompFilesToZipFileEx. */
enum {
  ZIPFOLDER_DONE = 0,          /* every file is in the archive */
  ZIPFOLDER_DONE_LEFT_OUT = 1, /* the archive is written; some files were left out */
  ZIPFOLDER_BAD_ARGUMENT = 2,  /* a null or empty path, or a bad options record */
  ZIPFOLDER_NO_SOURCE = 3,     /* the source is not a folder or cannot be listed */
  ZIPFOLDER_CANNOT_CREATE = 4, /* the archive file cannot be created or put in place */
  ZIPFOLDER_WRITE_FAILED = 5,  /* writing the archive failed; nothing was replaced */
  ZIPFOLDER_DISK_FULL = 6,     /* as ZIPFOLDER_WRITE_FAILED: the disk or quota is full */
  ZIPFOLDER_CANCELLED = 7,     /* the callback asked to stop; nothing was replaced */
  ZIPFOLDER_NO_MEMORY = 8,     /* the writer's memory could not be had */
  /* With ZIPFOLDER_FLAG_REFUSE_EMPTY: the patterns or .gitignore left out
     every file, and no archive was written */
  ZIPFOLDER_ALL_EXCLUDED = 9,
  /* A password was given, but this build has no cryptography library
     (a POSIX build without OpenSSL's libcrypto); nothing was written */
  ZIPFOLDER_NOT_SUPPORTED = 10
};

/* A status of CompFilesToZipFileEx in words, lower case and without a
   full stop, e.g. "the source is not a folder or cannot be listed";
   "unknown status" for a number that is none. The text is static. */
ZIPFOLDER_API const char* ZIPFOLDER_CALL ZipFolderStatusText(int32_t status);

/* ZipFolderEvent.kind */
enum {
  ZIPFOLDER_EVENT_PROGRESS = 1, /* at each entry and after each megabyte read */
  ZIPFOLDER_EVENT_ADDED = 2,    /* a file is in the archive */
  ZIPFOLDER_EVENT_LEFT_OUT = 3, /* a file or folder was left out */
  ZIPFOLDER_EVENT_FAILED = 4,   /* the call failed (once, at the end) */
  ZIPFOLDER_EVENT_FINISHED = 5, /* the archive is complete and in place (once, at the end) */
  /* Told only with ZIPFOLDER_FLAG_COUNT_FIRST or ZIPFOLDER_FLAG_DRY_RUN: */
  ZIPFOLDER_EVENT_COUNTING = 6, /* entries found so far, before packing starts */
  ZIPFOLDER_EVENT_COUNTED = 7,  /* once: entriesTotal and bytesTotal are final */
  ZIPFOLDER_EVENT_LISTED = 8,   /* dry run: an entry the archive would hold */
  ZIPFOLDER_EVENT_UNMATCHED = 9 /* a pattern that matched no name (name: the pattern) */
};

/* ZipFolderEvent.reason, for ZIPFOLDER_EVENT_LEFT_OUT */
enum {
  ZIPFOLDER_REASON_CANNOT_OPEN = 1,      /* the system refused to open it; see systemError */
  ZIPFOLDER_REASON_READ_FAILED = 2,      /* reading it failed midway; see systemError */
  ZIPFOLDER_REASON_NOT_A_FILE = 3,       /* a FIFO, socket or device */
  ZIPFOLDER_REASON_CHANGED = 4,          /* it changed while read, also when read again */
  ZIPFOLDER_REASON_FOLDER_UNLISTED = 5,  /* a folder cannot be listed, or its listing broke off */
  ZIPFOLDER_REASON_PATH_TOO_LONG = 6,    /* the path passes the system's limit */
  ZIPFOLDER_REASON_NAME_UNUSABLE = 7,    /* the archive cannot carry its name */
  ZIPFOLDER_REASON_NO_MEMORY = 8,        /* memory for its entry could not be had */
  ZIPFOLDER_REASON_ENCRYPTION_FAILED = 9 /* the system's cryptography refused to encrypt it */
};

/* What the callback is told. The strings live until the callback returns.
   The counters are the totals so far, in every event. */
typedef struct ZipFolderEvent {
  int32_t kind;
  /* PROGRESS: the file being read, relative to the source folder;
     ADDED: its name in the archive ("/" between folders); LEFT_OUT: its full path;
     FAILED: the source folder or the archive, whichever failed;
     FINISHED: the archive's path. All UTF-8: a byte of a name that is
     not (a POSIX file system takes any bytes) is passed as U+FFFD, unless
     memory is too short to make the copy. */
  const char* name;
  uint64_t size;           /* ADDED: the file's size; FINISHED: the archive's */
  uint64_t compressedSize; /* ADDED: its size in the archive */
  int32_t method;          /* ADDED: 0 stored, 8 deflated */
  int32_t reason;          /* LEFT_OUT: ZIPFOLDER_REASON_* */
  const char* reasonText;  /* LEFT_OUT, FAILED: readable, lower case, e.g. "permission denied" */
  int32_t systemError;     /* LEFT_OUT, FAILED: errno or GetLastError(); 0 when none */
  uint64_t bytesRead;      /* source bytes read so far */
  uint32_t entriesAdded;
  uint32_t filesLeftOut;
  uint32_t filesExcluded; /* files and folders the patterns or .gitignore left out */
  /* With ZIPFOLDER_FLAG_COUNT_FIRST or ZIPFOLDER_FLAG_DRY_RUN: the entries
     (files, and folders and links stored as such) and source bytes found
     so far while counting, final from the COUNTED event on; 0 without. */
  uint32_t entriesTotal;
  uint64_t bytesTotal;
  /* Of filesExcluded, the folders: each counts once, as nothing below it
     is walked, as each file left out by a pattern does. */
  uint32_t foldersExcluded;
} ZipFolderEvent;

/* Returns 0 to go on; any other value cancels the call. */
typedef int(ZIPFOLDER_CALL* ZipFolderCallback)(void* context, const ZipFolderEvent* event);

/* Takes the archive's next length bytes; returns 0 when they are taken,
   anything else to fail the call. */
typedef int(ZIPFOLDER_CALL* ZipFolderWriteCallback)(void* context, const void* bytes,
                                                    size_t length);

typedef struct ZipFolderOptions {
  uint32_t size;              /* sizeof(ZipFolderOptions): later versions add fields at the end */
  ZipFolderCallback callback; /* may be null */
  void* context;              /* handed to the callback */
  /* Files compressed at once: 0 or 1, the caller's thread only; more starts
     that many worker threads, but never more than the processors the
     process may run on, nor more than 256; idle workers also parse a large
     file (4 MB or more, levels 4 to 9) in segments. The archive is the
     same for every count, and the callback is still called on the
     caller's thread only. Workers that lack memory, descriptors or disk space for their
     output stop, and the caller's thread packs the rest alone: no file is
     left out for want of what one thread would have had. */
  uint32_t threads;

  /* Fields below are read only when size covers them; zeros mean what a
     record without them means, so a zero-filled record packs as before. */

  /* Compression level: 0 is the default (level 8); 1 to 9 trade speed for
     size as in other deflate tools; ZIPFOLDER_LEVEL_STORE stores every file
     uncompressed. */
  int32_t level;
  uint32_t flags; /* ZIPFOLDER_FLAG_* */
  /* Entries for folders: ZIPFOLDER_FOLDERS_NONE (none, the default),
     ZIPFOLDER_FOLDERS_EMPTY (folders that get no file entry) or
     ZIPFOLDER_FOLDERS_ALL (every folder, before its content). */
  int32_t folders;
  /* Patterns with the syntax and meaning of .gitignore lines, matched
     against names below srcFolder with "/" between folders. An excluded
     folder is not walked. With any include pattern, only files that match
     one are packed. The arrays and strings are read during the call only. */
  const char* const* exclude;
  uint32_t excludeCount;
  const char* const* include;
  uint32_t includeCount;
  /* Put before every name in the archive, with a "/" between: "/" between
     its levels, no leading "/", no "." or ".." level. Null or "" for none. */
  const char* prefix;
  /* With ZIPFOLDER_FLAG_MTIME_CEILING: no time stored in the archive is
     later than this, in seconds since 1970 (SOURCE_DATE_EPOCH). */
  int64_t mtimeCeiling;
  /* When set, the archive's bytes go to this callback in order instead of to
     zipPath, which may then be null and only names the archive in events.
     Deflated entries then carry data descriptors after their data; every
     stored entry (a folder, a link, a file stored) has its CRC and sizes
     in its local header and no descriptor, so that readers that read
     forward only can find its end: a stored file is read once for its CRC
     before its header goes out, and one that changes between the two
     reads fails the call. A non-zero return stops the call
     with ZIPFOLDER_WRITE_FAILED. Called on the caller's thread. */
  ZipFolderWriteCallback write;
  void* writeContext;
  /* With ZIPFOLDER_FLAG_STORE_TYPES: the extensions to store, without
     their dots and separated by commas ("jpg,png,tar.zst"), matched at the
     end of a name in any ASCII case; "" stores none by name. Null: the
     built-in list. Read during the call only. */
  const char* storedTypes;
  /* When non-null, the data of every file and link is encrypted with this
     password (UTF-8, not empty), in the form encryption names; folder
     entries carry no data. Names, sizes and times are not encrypted: the
     format cannot hide them. The password is copied at the start of the
     call and the copy wiped at its end; it appears in no event. */
  const char* password;
  int32_t encryption; /* ZIPFOLDER_ENCRYPTION_* */
} ZipFolderOptions;

/* ZipFolderOptions.encryption */
enum {
  ZIPFOLDER_ENCRYPTION_AES256 = 0, /* WinZip's AES (AE-2), 256-bit keys: 7-Zip, libarchive */
  ZIPFOLDER_ENCRYPTION_AES128 = 1, /* the same with 128-bit keys */
  /* The traditional ZIP encryption: weak, but the only kind Info-ZIP's
     unzip, Python's zipfile and some systems' built-in archive folders open */
  ZIPFOLDER_ENCRYPTION_ZIPCRYPTO = 2
};

/* ZipFolderOptions.level */
enum { ZIPFOLDER_LEVEL_DEFAULT = 0, ZIPFOLDER_LEVEL_STORE = -1 };

/* ZipFolderOptions.flags */
enum {
  ZIPFOLDER_FLAG_GITIGNORE = 1,     /* leave out what git would not track, and .git */
  ZIPFOLDER_FLAG_SYMLINKS = 2,      /* store symbolic links as links, never follow them */
  ZIPFOLDER_FLAG_SORT = 4,          /* each folder's names in byte order of their UTF-8 */
  ZIPFOLDER_FLAG_MTIME_CEILING = 8, /* mtimeCeiling is set */
  /* Each entry stores its source's own POSIX mode (file type and every
     permission bit: 0755, 0444, set-ID and sticky bits alike) for files,
     folder entries and links, with a Unix "made by" host, so that readers
     restore the modes. Without it a file's mode is made up from its
     attributes (owner read, write unless read-only, execute for Windows
     programs) under an NTFS host. On Windows, which has no such modes,
     the flag changes nothing. */
  ZIPFOLDER_FLAG_UNIX_MODES = 16,
  /* A file whose deflated form comes out no smaller than the file is
     stored instead: read again and copied. On a stream (the write
     callback, a FIFO or device) the deflated bytes have left before the
     last of them shows the file did not shrink, and nothing sent can be
     taken back: there the file stays deflated, a few bytes larger than
     the file at most. */
  ZIPFOLDER_FLAG_STORE_INCOMPRESSIBLE = 32,
  /* Files whose extension names a compressed format are stored without
     trying deflate: storedTypes, or when it is null a built-in list of
     today's image, audio, video, archive, package, office document and
     font formats. Without the flag only .Z .zip .zoo .arc .lzh .arj .gz
     and .tgz are. */
  ZIPFOLDER_FLAG_STORE_TYPES = 64,
  /* Before packing, the folder is walked once with every choice applied to
     count the entries and the bytes to read: COUNTING events while it is
     (after every 256 entries), one COUNTED event, and from then on every
     event carries entriesTotal and bytesTotal, for a percentage. The
     count costs one open of every file. */
  ZIPFOLDER_FLAG_COUNT_FIRST = 128,
  /* Nothing is written: the walk chooses as packing would and tells each
     entry the archive would hold as a LISTED event (its name in the
     archive, with "/" after a folder's, and its size), each file that
     cannot be opened as LEFT_OUT, then COUNTED and FINISHED (size 0).
     zipPath may be null. */
  ZIPFOLDER_FLAG_DRY_RUN = 256,
  /* When the archive would hold no entry although the patterns or
     .gitignore left names out, no archive is written (an existing one
     stays) and the call returns ZIPFOLDER_ALL_EXCLUDED. */
  ZIPFOLDER_FLAG_REFUSE_EMPTY = 512,
  /* Each exclude or include pattern that decided no name is told as an
     UNMATCHED event: after the COUNTED event when there is one, else once
     the walk is over, before FINISHED. */
  ZIPFOLDER_FLAG_TELL_UNMATCHED = 1024
};

/* ZipFolderOptions.folders */
enum { ZIPFOLDER_FOLDERS_NONE = 0, ZIPFOLDER_FOLDERS_EMPTY = 1, ZIPFOLDER_FOLDERS_ALL = 2 };

/* Packs as CompFilesToZipFile does, and says how it went. Paths are UTF-8
   on every system. The archive is written to a file of its own next to
   zipPath and put in its place only when it is complete: an existing
   archive stays untouched when the call fails or is cancelled. That file
   has no name until then where the system allows it (Linux); elsewhere it
   is named zipPath's name, ".zf", hex digits and ".tmp", and such files in
   the source folder are never packed. Nor is the archive being written, or
   a scratch file of the same call, whatever path reaches it (a link to
   /proc/self/fd, say): each source opened is compared with them by device
   and file number (on Windows, by its handle's volume and file index), and
   left out without an event when it is one of them. A symbolic link at zipPath is
   written through; a replaced archive keeps its permissions. A zipPath
   naming a FIFO or a character device is streamed into instead, as the
   write callback is (see ZipFolderOptions.write): no file of its own, no
   rename. A source folder that cannot be listed is ZIPFOLDER_NO_SOURCE,
   whenever that is found. options may be null. Runs on the caller's
   thread; the callback is called on it too. */
ZIPFOLDER_API int32_t ZIPFOLDER_CALL CompFilesToZipFileEx(const char* srcFolder,
                                                          const char* zipPath,
                                                          const ZipFolderOptions* options);

#ifdef __cplusplus
}
#endif

#endif
