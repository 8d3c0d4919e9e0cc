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

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MINGW_TRIPLET i686-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")

find_program(MINGW_I686_GCC NAMES ${MINGW_TRIPLET}-gcc-posix)
find_program(MINGW_I686_GXX NAMES ${MINGW_TRIPLET}-g++-posix)
find_program(MINGW_I686_WINDRES NAMES ${MINGW_TRIPLET}-windres)
if(NOT MINGW_I686_GCC OR NOT MINGW_I686_GXX)
  message(FATAL_ERROR
    "${MINGW_TRIPLET}-gcc-posix / ${MINGW_TRIPLET}-g++-posix not found "
    "(apt-get install g++-mingw-w64-i686)")
endif()

set(CMAKE_C_COMPILER ${MINGW_I686_GCC})
set(CMAKE_CXX_COMPILER ${MINGW_I686_GXX})
if(MINGW_I686_WINDRES)
  set(CMAKE_RC_COMPILER ${MINGW_I686_WINDRES})
endif()

# Search headers/libraries only in the MinGW sysroot, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: no libgcc_s_dw2-1.dll / libstdc++-6.dll / libwinpthread-1.dll imports.
# "-static" is required for winpthread; -static-libgcc/-static-libstdc++ alone are not enough.
set(_mingw_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
unset(_mingw_static_runtime)
