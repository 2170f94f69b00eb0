/* zipfolder: pack a folder tree into a new ZIP archive in one call. */
#ifndef ZIPFOLDER_H
#define ZIPFOLDER_H

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

#ifdef __cplusplus
}
#endif

#endif
