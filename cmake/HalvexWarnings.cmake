# Warnings for the project's own targets: halvex_warnings(<target>...). Third-party code built in
# the tree (GoogleTest for the Windows builds) keeps its own flags. The presets turn
# HALVEX_WERROR on so that CI fails on any warning; a plain configure only reports them.
option(HALVEX_WERROR "Treat compiler warnings as errors in the project's own targets" OFF)
# The lock contracts written with core/thread_safety.h; only clang reads them.
option(HALVEX_THREAD_SAFETY "Check the lock annotations (clang's -Wthread-safety)" OFF)
if(HALVEX_THREAD_SAFETY AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "HALVEX_THREAD_SAFETY needs clang; ${CMAKE_CXX_COMPILER_ID} ignores the annotations")
endif()

function(halvex_warnings)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(HALVEX_THREAD_SAFETY)
      target_compile_options(${target} PRIVATE -Wthread-safety)
    endif()
    if(HALVEX_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endforeach()
endfunction()
