// The library's door: the exported functions, and on Windows the DLL entry
// point, which has nothing to set up. The core takes UTF-8 paths on every
// system; on Windows each plain export converts its caller's paths once, here,
// and the reporting function takes UTF-8 everywhere.
#include "entry/pack_folder.h"
#include "entry/report.h"
#include "zipfolder.h"

extern "C" ZIPFOLDER_API std::int32_t ZIPFOLDER_CALL
CompFilesToZipFileEx(const char* srcFolder, const char* zipPath, const ZipFolderOptions* options) {
  return zf::PackFolderReporting(srcFolder, zipPath, options);
}

extern "C" ZIPFOLDER_API const char* ZIPFOLDER_CALL ZipFolderStatusText(std::int32_t status) {
  return zf::StatusText(status);
}

#if !defined(_WIN32)

extern "C" ZIPFOLDER_API void ZIPFOLDER_CALL CompFilesToZipFile(const char* srcFolder,
                                                                const char* zipPath) {
  zf::PackFolder(srcFolder, zipPath, nullptr);
}

#else
#include <windows.h>

namespace {

// Takes both converted paths; a null one (a null argument, or no memory to
// convert it) does nothing at all, as a null argument always has.
void PackConverted(char* srcFolder, char* zipPath) {
  if (srcFolder != nullptr && zipPath != nullptr) zf::PackFolder(srcFolder, zipPath, nullptr);
  zf::OsRelease(srcFolder);
  zf::OsRelease(zipPath);
}

}  // namespace

// Paths in the ANSI code page, which is UTF-8 on a host that opted into it.
extern "C" ZIPFOLDER_API void ZIPFOLDER_CALL CompFilesToZipFile(const char* srcFolder,
                                                                const char* zipPath) {
  PackConverted(zf::OsAnsiToUtf8(srcFolder), zf::OsAnsiToUtf8(zipPath));
}

// For callers whose paths the ANSI code page cannot spell.
extern "C" ZIPFOLDER_API void ZIPFOLDER_CALL CompFilesToZipFileW(const wchar_t* srcFolder,
                                                                 const wchar_t* zipPath) {
  PackConverted(zf::OsWideToUtf8(srcFolder), zf::OsWideToUtf8(zipPath));
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
