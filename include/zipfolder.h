/* zipfolder: pack a folder tree into a new ZIP archive in one call. */
#ifndef ZIPFOLDER_H
#define ZIPFOLDER_H

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

#ifdef __cplusplus
}
#endif

#endif
