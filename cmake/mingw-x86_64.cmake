# CMake toolchain file: cross-build 64-bit Windows binaries on Debian with MinGW-w64 (x86_64).
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
#
# Debian packages: g++-mingw-w64-x86-64 (provides the -posix and -win32 compiler variants).
# As for 32-bit (mingw-i686.cmake): the "-posix" variants, for std::thread and std::mutex, and
# every runtime (libgcc, libstdc++, winpthread) linked statically, so the DLL and programs
# import only system DLLs. Test registration runs the binaries under 64-bit Wine itself.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")

find_program(MINGW_X86_64_GCC NAMES ${MINGW_TRIPLET}-gcc-posix)
find_program(MINGW_X86_64_GXX NAMES ${MINGW_TRIPLET}-g++-posix)
find_program(MINGW_X86_64_WINDRES NAMES ${MINGW_TRIPLET}-windres)
if(NOT MINGW_X86_64_GCC OR NOT MINGW_X86_64_GXX)
  message(FATAL_ERROR
    "${MINGW_TRIPLET}-gcc-posix / ${MINGW_TRIPLET}-g++-posix not found "
    "(apt-get install g++-mingw-w64-x86-64)")
endif()

set(CMAKE_C_COMPILER ${MINGW_X86_64_GCC})
set(CMAKE_CXX_COMPILER ${MINGW_X86_64_GXX})
if(MINGW_X86_64_WINDRES)
  set(CMAKE_RC_COMPILER ${MINGW_X86_64_WINDRES})
endif()

# Search headers/libraries only in the MinGW sysroot, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: no libgcc_s_seh-1.dll / libstdc++-6.dll / libwinpthread-1.dll imports.
set(_mingw_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
unset(_mingw_static_runtime)
