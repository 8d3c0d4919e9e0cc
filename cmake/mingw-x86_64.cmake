# CMake toolchain file: cross-build 64-bit Windows binaries on Debian with MinGW-w64 (x86_64).
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
#
# Debian packages: g++-mingw-w64-x86-64 (provides the -posix and -win32 compiler variants).
# As for 32-bit (mingw-i686.cmake): the "-posix" variants, for std::thread and std::mutex, and
# every runtime (libgcc, libstdc++, winpthread) linked statically, so the DLL and programs
# import only system DLLs. Test registration runs the binaries under 64-bit Wine itself.

set(HALVEX_MINGW_PROCESSOR AMD64)
set(HALVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(HALVEX_MINGW_PACKAGE g++-mingw-w64-x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
