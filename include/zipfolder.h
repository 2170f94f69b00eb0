/* zipfolder: pack a folder tree into a new ZIP archive in one call. */
#ifndef ZIPFOLDER_H
#define ZIPFOLDER_H

#include <stdint.h>

#if defined(_WIN32)
#include <stddef.h> /* wchar_t in C */
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
  ZIPFOLDER_NO_MEMORY = 8      /* the writer's memory could not be had */
};

/* ZipFolderEvent.kind */
enum {
  ZIPFOLDER_EVENT_PROGRESS = 1, /* at each entry and after each megabyte read */
  ZIPFOLDER_EVENT_ADDED = 2,    /* a file is in the archive */
  ZIPFOLDER_EVENT_LEFT_OUT = 3, /* a file or folder was left out */
  ZIPFOLDER_EVENT_FAILED = 4,   /* the call failed (once, at the end) */
  ZIPFOLDER_EVENT_FINISHED = 5  /* the archive is complete and in place (once, at the end) */
};

/* ZipFolderEvent.reason, for ZIPFOLDER_EVENT_LEFT_OUT */
enum {
  ZIPFOLDER_REASON_CANNOT_OPEN = 1,     /* the system refused to open it; see systemError */
  ZIPFOLDER_REASON_READ_FAILED = 2,     /* reading it failed midway; see systemError */
  ZIPFOLDER_REASON_NOT_A_FILE = 3,      /* a FIFO, socket or device */
  ZIPFOLDER_REASON_CHANGED = 4,         /* it grew while read and could not be read again */
  ZIPFOLDER_REASON_FOLDER_UNLISTED = 5, /* a folder cannot be listed, or its listing broke off */
  ZIPFOLDER_REASON_PATH_TOO_LONG = 6,   /* the path passes the system's limit */
  ZIPFOLDER_REASON_NAME_UNUSABLE = 7,   /* the archive cannot carry its name */
  ZIPFOLDER_REASON_NO_MEMORY = 8        /* memory for its entry could not be had */
};

/* What the callback is told. The strings live until the callback returns.
   The counters are the totals so far, in every event. */
typedef struct ZipFolderEvent {
  int32_t kind;
  /* PROGRESS: the file being read, relative to the source folder;
     ADDED: its name in the archive ("/" between folders); LEFT_OUT: its full path;
     FAILED: the source folder or the archive, whichever failed;
     FINISHED: the archive's path. All UTF-8. */
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
} ZipFolderEvent;

/* Returns 0 to go on; any other value cancels the call. */
typedef int(ZIPFOLDER_CALL* ZipFolderCallback)(void* context, const ZipFolderEvent* event);

typedef struct ZipFolderOptions {
  uint32_t size;              /* sizeof(ZipFolderOptions): later versions add fields at the end */
  ZipFolderCallback callback; /* may be null */
  void* context;              /* handed to the callback */
  /* Files compressed at once: 0 or 1, the caller's thread only; more starts
     that many worker threads. The archive is the same for every count, and
     the callback is still called on the caller's thread only. */
  uint32_t threads;
} ZipFolderOptions;

/* Packs as CompFilesToZipFile does, and says how it went. Paths are UTF-8
   on every system. The archive is written under a temporary name next to
   zipPath and put in its place only when it is complete: an existing
   archive stays untouched when the call fails or is cancelled. options may
   be null. Runs on the caller's thread; the callback is called on it too. */
ZIPFOLDER_API int32_t ZIPFOLDER_CALL CompFilesToZipFileEx(const char* srcFolder,
                                                          const char* zipPath,
                                                          const ZipFolderOptions* options);

#ifdef __cplusplus
}
#endif

#endif
