# The body of the MinGW-w64 toolchain files: mingw-i686.cmake and mingw-x86_64.cmake set
# HALVEX_MINGW_PROCESSOR, HALVEX_MINGW_TRIPLET and HALVEX_MINGW_PACKAGE, then include this.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${HALVEX_MINGW_PROCESSOR})

set(MINGW_TRIPLET ${HALVEX_MINGW_TRIPLET} CACHE STRING "MinGW-w64 target triplet")

find_program(MINGW_GCC NAMES ${MINGW_TRIPLET}-gcc-posix)
find_program(MINGW_GXX NAMES ${MINGW_TRIPLET}-g++-posix)
find_program(MINGW_WINDRES NAMES ${MINGW_TRIPLET}-windres)
if(NOT MINGW_GCC OR NOT MINGW_GXX)
  message(FATAL_ERROR
    "${MINGW_TRIPLET}-gcc-posix / ${MINGW_TRIPLET}-g++-posix not found "
    "(apt-get install ${HALVEX_MINGW_PACKAGE})")
endif()

set(CMAKE_C_COMPILER ${MINGW_GCC})
set(CMAKE_CXX_COMPILER ${MINGW_GXX})
if(MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${MINGW_WINDRES})
endif()

# Search headers/libraries only in the MinGW sysroot, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: no libgcc_s_*.dll / libstdc++-6.dll / libwinpthread-1.dll imports.
# "-static" is required for winpthread; -static-libgcc/-static-libstdc++ alone are not enough.
set(_mingw_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
unset(_mingw_static_runtime)
