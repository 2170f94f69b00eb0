# The part the two MinGW-w64 toolchain files share; they set
# ZIPFOLDER_MINGW_TRIPLE first.
find_program(CMAKE_C_COMPILER NAMES ${ZIPFOLDER_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZIPFOLDER_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZIPFOLDER_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZIPFOLDER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The unit tests need the build machine's test libraries and run there; the
# Windows binaries are tested from the Linux build (tests/windows).
set(ZIPFOLDER_TESTS OFF CACHE BOOL "Build the tests")
