# Warnings for the project's own targets: halvex_warnings(<target>...). Third-party code built in
# the tree (GoogleTest for the Windows builds) keeps its own flags. The presets turn
# HALVEX_WERROR on so that CI fails on any warning; a plain configure only reports them.
option(HALVEX_WERROR "Treat compiler warnings as errors in the project's own targets" OFF)

function(halvex_warnings)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(HALVEX_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endforeach()
endfunction()
