# The export table (driver/export_table.inc) made into the files that name the exports per build:
#
#   halvex_export_files(TABLE OUT_DIR [BASE])
#
# writes into OUT_DIR the module-definition files of the two 32-bit DLLs (exports_release.def,
# exports_debug.def), those of their import libraries (import_release.def, import_debug.def),
# the Linux version script (exports.map) and the names each build must export
# (expected_release.txt, expected_debug.txt, expected_x64.txt, expected_linux.txt). For Visual
# Studio users it also writes Halvex32.def, Halvex32D.def and Halvex64.def, the exact export
# names in the plain EXPORTS form that `lib /def:` reads, and msvc_stubs.s, one stdcall symbol
# _name@N per export: lld-link links those stubs with a .def into a throw-away DLL whose import
# library binds each caller's _name@N to the exact export name (a plain name through the
# "undecorate" name type); msvc_stubs_x64.s is the same for 64-bit, where a name is just a name.
# Halvex64.def is also what the 64-bit DLL and its MinGW import library are made from: x64 has
# one calling convention and no decoration, so every 64-bit name is the plain one.
# BASE (default Halvex) names the DLLs BASE32, BASE32D and BASE64 (the fixture layer's table
# gives HalvexFixture). A file whose text is unchanged is left alone, so reconfiguring relinks
# nothing.

function(_halvex_write_if_changed path text)
  if(EXISTS ${path})
    file(READ ${path} old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE ${path} "${text}")
endfunction()

function(halvex_export_files table out_dir)
  set(base Halvex)
  if(ARGC GREATER 2)
    set(base ${ARGV2})
  endif()
  # Editing the table reconfigures, which rewrites the files; the links and dlltool follow.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  # Every line but blank ones and comments is an export (file(STRINGS) would split comments at ";").
  file(STRINGS ${table} lines REGEX "^[ \t]*[^/ \t]")
  set(names)
  set(release_def "; ${base}32.dll: every function under its stdcall-decorated name.\n")
  string(APPEND release_def "LIBRARY ${base}32.dll\nEXPORTS\n")
  set(debug_def "; ${base}32D.dll: plain names, except those the export table marks decorated.\n")
  string(APPEND debug_def "LIBRARY ${base}32D.dll\nEXPORTS\n")
  set(release_import "; Import library of ${base}32.dll: callers' stdcall symbols bound to the")
  string(APPEND release_import " decorated exports.\nLIBRARY \"${base}32.dll\"\nEXPORTS\n")
  set(debug_import "; Import library of ${base}32D.dll: callers' stdcall symbols bound to its")
  string(APPEND debug_import " export names.\nLIBRARY \"${base}32D.dll\"\nEXPORTS\n")
  set(release_plain "; ${base}32.dll (32-bit, stdcall): its exact export names.\n")
  string(APPEND release_plain "LIBRARY ${base}32.dll\nEXPORTS\n")
  set(debug_plain "; ${base}32D.dll (32-bit, stdcall): its exact export names.\n")
  string(APPEND debug_plain "LIBRARY ${base}32D.dll\nEXPORTS\n")
  set(x64_plain "; ${base}64.dll (64-bit, the one x64 convention): its export names, all plain.\n")
  string(APPEND x64_plain "LIBRARY ${base}64.dll\nEXPORTS\n")
  set(stubs "# One stdcall symbol per export, for lld-link to bind the import libraries' names.\n")
  string(APPEND stubs "        .text\n")
  set(stubs_x64 "# One symbol per export, for lld-link to bind the 64-bit import library's names.\n")
  string(APPEND stubs_x64 "        .text\n")
  set(map_names)
  set(release_list)
  set(debug_list)
  set(linux_list)
  foreach(line IN LISTS lines)
    if(NOT line MATCHES
       "^HALVEX_EXPORT\\(([A-Za-z_][A-Za-z0-9_]*), ([0-9]+), (plain|decorated)\\)$")
      message(FATAL_ERROR "${table}: not of the form HALVEX_EXPORT(name, bytes, plain|decorated): ${line}")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(bytes ${CMAKE_MATCH_2})
    set(debug ${CMAKE_MATCH_3})
    math(EXPR rest "${bytes} % 4")
    if(NOT rest EQUAL 0)
      message(FATAL_ERROR "${table}: ${name}: stdcall arguments take a multiple of 4 bytes, not ${bytes}")
    endif()
    if(name IN_LIST names)
      message(FATAL_ERROR "${table}: ${name} is listed twice")
    endif()
    list(APPEND names ${name})
    # The compiler's symbol of a stdcall function is name@N; its exported decorated name is _name@N.
    set(symbol "${name}@${bytes}")
    set(decorated "_${symbol}")
    if(debug STREQUAL "decorated")
      set(debug_name ${decorated})
    else()
      set(debug_name ${name})
    endif()
    string(APPEND release_def "    ${decorated} = ${symbol}\n")
    string(APPEND debug_def "    ${debug_name} = ${symbol}\n")
    # "==" names the import by the export's name rather than by the caller's symbol.
    string(APPEND release_import "    ${symbol} == ${decorated}\n")
    string(APPEND debug_import "    ${symbol} == ${debug_name}\n")
    string(APPEND release_plain "    ${decorated}\n")
    string(APPEND debug_plain "    ${debug_name}\n")
    string(APPEND stubs "        .globl ${decorated}\n${decorated}:\n        ret $${bytes}\n")
    string(APPEND x64_plain "    ${name}\n")
    string(APPEND stubs_x64 "        .globl ${name}\n${name}:\n        ret\n")
    string(APPEND map_names "    ${name};\n")
    string(APPEND release_list "${decorated}\n")
    string(APPEND debug_list "${debug_name}\n")
    string(APPEND linux_list "${name}\n")
  endforeach()
  list(LENGTH names count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${table} lists no export")
  endif()
  set(map "/* libhalvex.so exports the plain names of the ${count} functions and nothing else. */\n")
  string(APPEND map "HALVEX_1 {\n  global:\n${map_names}  local:\n    *;\n};\n")

  file(MAKE_DIRECTORY ${out_dir})
  _halvex_write_if_changed(${out_dir}/exports_release.def "${release_def}")
  _halvex_write_if_changed(${out_dir}/exports_debug.def "${debug_def}")
  _halvex_write_if_changed(${out_dir}/import_release.def "${release_import}")
  _halvex_write_if_changed(${out_dir}/import_debug.def "${debug_import}")
  _halvex_write_if_changed(${out_dir}/${base}32.def "${release_plain}")
  _halvex_write_if_changed(${out_dir}/${base}32D.def "${debug_plain}")
  _halvex_write_if_changed(${out_dir}/${base}64.def "${x64_plain}")
  _halvex_write_if_changed(${out_dir}/msvc_stubs.s "${stubs}")
  _halvex_write_if_changed(${out_dir}/msvc_stubs_x64.s "${stubs_x64}")
  _halvex_write_if_changed(${out_dir}/exports.map "${map}")
  _halvex_write_if_changed(${out_dir}/expected_release.txt "${release_list}")
  _halvex_write_if_changed(${out_dir}/expected_debug.txt "${debug_list}")
  _halvex_write_if_changed(${out_dir}/expected_x64.txt "${linux_list}")
  _halvex_write_if_changed(${out_dir}/expected_linux.txt "${linux_list}")
endfunction()

# A Windows DLL whose exports a table names (its files made by halvex_export_files in DIR):
#
#   halvex_windows_dll(TARGET DIR BASE)
#
# names TARGET's DLL for this build (BASE64 on 64-bit, BASE32D for Debug, else BASE32), links
# it with its module-definition file and makes its two import libraries from the table's files:
# TARGET_implib (MinGW, lib<DLL>.dll.a, by dlltool) and TARGET_msvc_lib (Visual Studio,
# msvc/<DLL>.lib, by lld-link), with the imported target TARGET_import that programs link
# against. Sets in the caller <TARGET>_DLL_NAME, <TARGET>_EXPORT_SET (release, debug or x64, the
# expected_<set>.txt it must export), <TARGET>_IMPLIB, <TARGET>_MSVC_LIB and <TARGET>_MSVC_DEF.
function(halvex_windows_dll target dir base)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # One convention, plain names: the one .def serves the link, dlltool and Visual Studio.
    set(set x64)
    set(dll ${base}64)
    set(def ${dir}/${dll}.def)
    set(import_def ${def})
    set(fixup)
    set(machine /machine:x64)
    set(clang_target x86_64-pc-windows-msvc)
    set(stubs ${dir}/msvc_stubs_x64.s)
  else()
    if(CMAKE_BUILD_TYPE STREQUAL "Debug")
      set(set debug)
      set(dll ${base}32D)
    else()
      set(set release)
      set(dll ${base}32)
    endif()
    set(def ${dir}/exports_${set}.def)
    set(import_def ${dir}/import_${set}.def)
    # The .def names the compiler's name@N symbols; the fixup accepts them for the exports.
    set(fixup -Wl,--enable-stdcall-fixup)
    set(machine /machine:x86 /safeseh:no)
    set(clang_target i686-pc-windows-msvc)
    set(stubs ${dir}/msvc_stubs.s)
  endif()
  # The linker's own import library would name the decorated exports with a second
  # underscore; the one programs link against is made from its own definition file below.
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${dll} PREFIX ""
                                             IMPORT_PREFIX "unused-" LINK_DEPENDS ${def})
  target_link_options(${target} PRIVATE ${def} ${fixup})
  find_program(DLLTOOL NAMES ${MINGW_TRIPLET}-dlltool REQUIRED)
  set(implib ${CMAKE_CURRENT_BINARY_DIR}/lib${dll}.dll.a)
  add_custom_command(OUTPUT ${implib}
                     COMMAND ${DLLTOOL} --input-def ${import_def} --output-lib ${implib}
                     DEPENDS ${import_def} VERBATIM)
  add_custom_target(${target}_implib ALL DEPENDS ${implib})
  add_library(${target}_import SHARED IMPORTED GLOBAL)
  set_target_properties(${target}_import PROPERTIES IMPORTED_IMPLIB ${implib}
                        IMPORTED_LOCATION $<TARGET_FILE:${target}>
                        INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_SOURCE_DIR}/include)
  add_dependencies(${target}_import ${target}_implib ${target})
  # Visual Studio's import library (COFF format), from the same table: lld-link links the
  # table's stubs with the plain .def into a throw-away DLL and writes its import library, in
  # which every caller's symbol (_name@N on 32-bit) imports the DLL's exact export name.
  find_program(HALVEX_CLANG NAMES clang-14 clang REQUIRED)
  find_program(HALVEX_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
  set(msvc_def ${dir}/${dll}.def)
  set(msvc_dir ${CMAKE_CURRENT_BINARY_DIR}/msvc)
  set(msvc_lib ${msvc_dir}/${dll}.lib)
  add_custom_command(OUTPUT ${msvc_lib}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${msvc_dir}
                     COMMAND ${HALVEX_CLANG} --target=${clang_target} -c ${stubs}
                             -o ${msvc_dir}/stubs.obj
                     COMMAND ${HALVEX_LLD_LINK} /nologo ${machine} /dll /noentry /nodefaultlib
                             ${msvc_dir}/stubs.obj /def:${msvc_def}
                             /out:${msvc_dir}/stubs.dll /implib:${msvc_lib}
                     DEPENDS ${msvc_def} ${stubs} VERBATIM)
  add_custom_target(${target}_msvc_lib ALL DEPENDS ${msvc_lib})
  set(${target}_DLL_NAME ${dll} PARENT_SCOPE)
  set(${target}_EXPORT_SET ${set} PARENT_SCOPE)
  set(${target}_IMPLIB ${implib} PARENT_SCOPE)
  set(${target}_MSVC_LIB ${msvc_lib} PARENT_SCOPE)
  set(${target}_MSVC_DEF ${msvc_def} PARENT_SCOPE)
endfunction()
