// The library's door: the exported functions, and on Windows the DLL entry
// point, which has nothing to set up.
#include "entry/pack_folder.h"
#include "entry/report.h"
#include "zipfolder.h"

extern "C" ZIPFOLDER_API void ZIPFOLDER_CALL CompFilesToZipFile(const char* srcFolder,
                                                                const char* zipPath) {
  zf::PackFolder(srcFolder, zipPath, nullptr);
}

extern "C" ZIPFOLDER_API std::int32_t ZIPFOLDER_CALL
CompFilesToZipFileEx(const char* srcFolder, const char* zipPath, const ZipFolderOptions* options) {
  return zf::PackFolderReporting(srcFolder, zipPath, options);
}

#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
