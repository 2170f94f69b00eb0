# A 32-bit Linux build on a 64-bit machine, with the multilib compilers and
# the i386 packages of the test libraries (libgtest-dev:i386, zlib1g-dev:i386):
#   cmake -S . -B build-i386 --toolchain cmake/linux-i386.cmake -DZIPFOLDER_TESTS=ON
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# pkg-config answers for the machine's own architecture unless told where
# the i386 packages keep their files (libssl-dev:i386 for OpenSSL).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
