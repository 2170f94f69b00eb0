# Cross-compiling the Windows build with MinGW-w64 (x86_64):
#   cmake -S . -B build-win64 --toolchain cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZIPFOLDER_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
