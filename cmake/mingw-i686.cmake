# Cross-compiling the Windows build with MinGW-w64 (i686):
#   cmake -S . -B build-win32 --toolchain cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZIPFOLDER_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
