# CMake toolchain file: cross-build 32-bit Windows binaries on Debian with MinGW-w64 (i686).
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#
# Debian packages: g++-mingw-w64-i686 (provides the -posix and -win32 compiler variants).
# The "-posix" variants are used so that std::thread / std::mutex / std::condition_variable
# are available. All runtimes (libgcc, libstdc++, winpthread) are linked statically so the
# produced DLLs/EXEs import only system DLLs (KERNEL32.dll, msvcrt.dll, ...).
#
# The emulator (CMAKE_CROSSCOMPILING_EMULATOR) is deliberately left unset: test
# registration decides explicitly how binaries are run under Wine.

set(HALVEX_MINGW_PROCESSOR x86)
set(HALVEX_MINGW_TRIPLET i686-w64-mingw32)
set(HALVEX_MINGW_PACKAGE g++-mingw-w64-i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
