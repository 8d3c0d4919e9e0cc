# The Debian packages: `cmake --build --preset native --target deb` writes into packages/ of the
# build folder, laid out for /usr as Debian lays out a library with a versioned soname:
#   libhalvex1      libhalvex.so.1 and libhalvex-fixture.so.1
#   libhalvex-dev   the headers, the development links, the pkg-config file, the CMake package
#   halvex-tools    halvexctl and halvex-sim, their man pages, the bash completion
#   python3-halvex  the Python package and the panel, over the system's libhalvex.so.1
# Their install rules are components of their own, left out of a plain `cmake --install`, whose
# relocatable tree (run paths relative to the programs, libraries in lib/) stays as it is; the
# packages' programs carry no run path and their libraries sit in the multiarch folder.

set(HALVEX_DEB_MAINTAINER "Halvex32 maintainers <maintainers@users.noreply.c-seed-687be469.example>"
    CACHE STRING "The Maintainer field of the Debian packages")
set(HALVEX_DEB_SRC ${CMAKE_CURRENT_LIST_DIR})
set(HALVEX_DEB_WORK ${CMAKE_BINARY_DIR}/deb)
set(HALVEX_DEB_VERSION ${PROJECT_VERSION})
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(HALVEX_DEB_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(HALVEX_DEB_LIBDIR lib)
endif()
set(HALVEX_DEB_PYTHONDIR lib/python3/dist-packages)
set(HALVEX_DEB_PACKAGES libhalvex1 libhalvex-dev halvex-tools python3-halvex)
# The demo's set-up has no Python: no packages then, and the rest of the build goes on.
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  message(STATUS "No Python 3: no Debian packages (target deb)")
  return()
endif()
# halvexctl's man page and completion, as tools/ makes them.
set(deb_halvexctl_man ${CMAKE_BINARY_DIR}/tools/halvexctl.1)
set(deb_halvexctl_completion ${CMAKE_BINARY_DIR}/tools/halvexctl.bash)

# ---- What the packages carry besides the build's own files: each package's copyright and
# changelog, the man pages compressed, the Python distribution's metadata and launcher. ----
find_program(HALVEX_DEB_DPKG_DEB dpkg-deb)
set(deb_files ${HALVEX_DEB_WORK}/copyright ${HALVEX_DEB_WORK}/changelog.gz
    ${HALVEX_DEB_WORK}/man/halvexctl.1.gz ${HALVEX_DEB_WORK}/man/halvex-sim.1.gz
    ${HALVEX_DEB_WORK}/man/halvex-panel.1.gz ${HALVEX_DEB_WORK}/halvex-panel)
add_custom_command(
  OUTPUT ${deb_files}
  COMMAND ${Python3_EXECUTABLE} ${HALVEX_DEB_SRC}/make_files.py --source ${PROJECT_SOURCE_DIR}
          --version ${HALVEX_DEB_VERSION} --maintainer ${HALVEX_DEB_MAINTAINER}
          --halvexctl-man ${deb_halvexctl_man} --simulator $<TARGET_FILE:halvex-sim>
          --out ${HALVEX_DEB_WORK}
  DEPENDS ${HALVEX_DEB_SRC}/make_files.py ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/bindings/python/pyproject.toml
          ${PROJECT_SOURCE_DIR}/bindings/python/halvex/__init__.py
          ${PROJECT_SOURCE_DIR}/bindings/python/halvex/panel/cli.py halvexctl_docs halvex-sim
  COMMENT "Debian packages: copyright, changelog, man pages, Python metadata"
  VERBATIM)
add_custom_target(deb_files DEPENDS ${deb_files})

# The pkg-config file and the CMake package for /usr, which is where they stay.
function(halvex_deb_dev_files)
  set(HALVEX_PC_PREFIX /usr)
  set(HALVEX_PC_LIBDIR ${HALVEX_DEB_LIBDIR})
  set(CMAKE_INSTALL_INCLUDEDIR include)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/halvex.pc.in ${HALVEX_DEB_WORK}/halvex.pc @ONLY)
  set(HALVEX_INSTALLED_LIBRARY ${HALVEX_DEB_LIBDIR}/libhalvex.so)
  file(RELATIVE_PATH HALVEX_PREFIX_FROM_CONFIG /${HALVEX_DEB_LIBDIR}/cmake/Halvex /)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/HalvexConfig.cmake.in
                 ${HALVEX_DEB_WORK}/HalvexConfig.cmake @ONLY)
endfunction()
halvex_deb_dev_files()

# ---- The install rules of each package ----
set(deb_lib_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)  # no executable shared objects
install(TARGETS halvex halvex_fixture
        LIBRARY DESTINATION ${HALVEX_DEB_LIBDIR} PERMISSIONS ${deb_lib_permissions}
                COMPONENT libhalvex1 NAMELINK_COMPONENT libhalvex-dev EXCLUDE_FROM_ALL)
install(TARGETS halvexctl halvex-sim RUNTIME DESTINATION bin COMPONENT halvex-tools EXCLUDE_FROM_ALL)
# Everything they link against is in the loader's own folders: no run path.
foreach(item "libhalvex1|${HALVEX_DEB_LIBDIR}/$<TARGET_SONAME_FILE_NAME:halvex>"
             "libhalvex1|${HALVEX_DEB_LIBDIR}/$<TARGET_SONAME_FILE_NAME:halvex_fixture>"
             "halvex-tools|bin/$<TARGET_FILE_NAME:halvexctl>" "halvex-tools|bin/$<TARGET_FILE_NAME:halvex-sim>")
  string(REPLACE "|" ";" item "${item}")
  list(GET item 0 component)
  list(GET item 1 file)
  install(CODE "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\")"
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES include/halvex.h include/halvex_fixture.h DESTINATION include
        COMPONENT libhalvex-dev EXCLUDE_FROM_ALL)
install(FILES ${HALVEX_DEB_WORK}/halvex.pc DESTINATION ${HALVEX_DEB_LIBDIR}/pkgconfig COMPONENT libhalvex-dev EXCLUDE_FROM_ALL)
install(FILES ${HALVEX_DEB_WORK}/HalvexConfig.cmake ${CMAKE_BINARY_DIR}/HalvexConfigVersion.cmake
        DESTINATION ${HALVEX_DEB_LIBDIR}/cmake/Halvex COMPONENT libhalvex-dev EXCLUDE_FROM_ALL)
install(FILES ${HALVEX_DEB_WORK}/man/halvexctl.1.gz ${HALVEX_DEB_WORK}/man/halvex-sim.1.gz
        DESTINATION share/man/man1 COMPONENT halvex-tools EXCLUDE_FROM_ALL)
install(FILES ${deb_halvexctl_completion} DESTINATION share/bash-completion/completions RENAME halvexctl
        COMPONENT halvex-tools EXCLUDE_FROM_ALL)
# The package's modules and the panel's page, as the wheel's package data names them; nothing
# native: the library is the system's.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/halvex DESTINATION ${HALVEX_DEB_PYTHONDIR}
        COMPONENT python3-halvex EXCLUDE_FROM_ALL
        FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "*.html" PATTERN "*.css" PATTERN "*.js"
        PATTERN "__pycache__" EXCLUDE)
install(DIRECTORY ${HALVEX_DEB_WORK}/python/ DESTINATION ${HALVEX_DEB_PYTHONDIR}
        COMPONENT python3-halvex EXCLUDE_FROM_ALL)
install(PROGRAMS ${HALVEX_DEB_WORK}/halvex-panel DESTINATION bin COMPONENT python3-halvex EXCLUDE_FROM_ALL)
install(FILES ${HALVEX_DEB_WORK}/man/halvex-panel.1.gz DESTINATION share/man/man1
        COMPONENT python3-halvex EXCLUDE_FROM_ALL)
foreach(package IN LISTS HALVEX_DEB_PACKAGES)
  install(FILES ${HALVEX_DEB_WORK}/copyright ${HALVEX_DEB_WORK}/changelog.gz
          DESTINATION share/doc/${package} COMPONENT ${package} EXCLUDE_FROM_ALL)
  if(EXISTS ${HALVEX_DEB_SRC}/${package}.lintian-overrides)
    install(FILES ${HALVEX_DEB_SRC}/${package}.lintian-overrides DESTINATION share/lintian/overrides
            RENAME ${package} COMPONENT ${package} EXCLUDE_FROM_ALL)
  endif()
endforeach()

# ---- CPack ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvex)
set(CPACK_PACKAGE_VENDOR "The Halvex32 authors")
set(CPACK_PACKAGE_VERSION ${HALVEX_DEB_VERSION})
set(CPACK_PACKAGE_CONTACT ${HALVEX_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${HALVEX_DEB_PACKAGES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${HALVEX_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SOURCE halvex)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The system libraries' packages from the binaries; the project's own libraries are found in the
# build folder and named below, with the exact version, for they change together.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(runtime "libhalvex1 (= ${HALVEX_DEB_VERSION})")

set(CPACK_DEBIAN_LIBHALVEX1_PACKAGE_NAME libhalvex1)
set(CPACK_DEBIAN_LIBHALVEX1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBHALVEX1_PACKAGE_CONTROL_EXTRA ${HALVEX_DEB_WORK}/libhalvex1/triggers)
set(CPACK_COMPONENT_LIBHALVEX1_DESCRIPTION
    "driver library for Halvex relay card chassis
The Halvex driver library controls a chassis of X16, X48 and Y48 relay cards
over a serial line: discovery of the cards in slots 1 to 16, self test,
identification and reset, every relay of every model, and the signal inputs
of X16 and Y48 cards, read once or monitored in the background.
.
This package holds the shared libraries: libhalvex.so.1 with the 49
functions of the driver's C interface, and libhalvex-fixture.so.1, which
connects and disconnects named nets of a test fixture along free relays and
refuses any operation its interlock rules forbid.")

set(CPACK_DEBIAN_LIBHALVEX-DEV_PACKAGE_NAME libhalvex-dev)
set(CPACK_DEBIAN_LIBHALVEX-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBHALVEX-DEV_PACKAGE_DEPENDS ${runtime})
set(CPACK_COMPONENT_LIBHALVEX-DEV_DESCRIPTION
    "driver library for Halvex relay card chassis - development files
The Halvex driver library controls a chassis of X16, X48 and Y48 relay cards
over a serial line.
.
This package holds what programs that use the library are built with: the
headers halvex.h and halvex_fixture.h, the development links, the
pkg-config file (pkg-config --cflags --libs halvex) and the CMake package
(find_package(Halvex), target Halvex::halvex).")

set(CPACK_DEBIAN_HALVEX-TOOLS_PACKAGE_NAME halvex-tools)
set(CPACK_DEBIAN_HALVEX-TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_HALVEX-TOOLS_PACKAGE_DEPENDS ${runtime})
set(CPACK_COMPONENT_HALVEX-TOOLS_DESCRIPTION
    "command-line tool and simulator for Halvex relay card chassis
halvexctl drives a chassis of Halvex X16, X48 and Y48 relay cards from the
command line, from scripts or from its own shell: it lists the cards, runs
self tests, opens and closes relays, reads and monitors signal inputs, and
answers in text or JSON with the driver's result codes as exit statuses.
.
halvex-sim plays a chassis of simulated cards on pseudo-terminals, with a
control channel for faults, delays and signal inputs, and a spy mode that
logs the lines between the driver and a real chassis.")

set(CPACK_DEBIAN_PYTHON3-HALVEX_PACKAGE_NAME python3-halvex)
set(CPACK_DEBIAN_PYTHON3-HALVEX_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3-HALVEX_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON3-HALVEX_PACKAGE_DEPENDS "python3 (>= 3.8), ${runtime}")
# halvex.sim and the panel's simulated chassis run halvex-sim.
set(CPACK_DEBIAN_PYTHON3-HALVEX_PACKAGE_RECOMMENDS "halvex-tools (= ${HALVEX_DEB_VERSION})")
set(CPACK_DEBIAN_PYTHON3-HALVEX_PACKAGE_CONTROL_EXTRA ${HALVEX_DEB_WORK}/python3-halvex/postinst
    ${HALVEX_DEB_WORK}/python3-halvex/prerm)
set(CPACK_COMPONENT_PYTHON3-HALVEX_DESCRIPTION
    "Python binding and front panel for Halvex relay card chassis
The halvex package drives a chassis of Halvex X16, X48 and Y48 relay cards
from Python through the system's driver library: a context manager for the
chassis, a class per card model, signal monitoring with callbacks, named
nets of a test fixture, a simulated chassis for tests and a pytest plugin.
.
halvex-panel serves a front panel for the browser: the cards, their relays
and signal inputs, on a real or a simulated chassis.")
include(CPack)

# The maintainer scripts must be named as dpkg names them.
foreach(script postinst prerm)
  configure_file(${HALVEX_DEB_SRC}/python3-halvex.${script} ${HALVEX_DEB_WORK}/python3-halvex/${script}
                 COPYONLY)
endforeach()
configure_file(${HALVEX_DEB_SRC}/libhalvex1.triggers ${HALVEX_DEB_WORK}/libhalvex1/triggers COPYONLY)

add_custom_target(deb
                  COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DOUT=${CMAKE_BINARY_DIR}/packages
                          -DDPKG_DEB=${HALVEX_DEB_DPKG_DEB} -P ${HALVEX_DEB_SRC}/make_debs.cmake
                  USES_TERMINAL VERBATIM)
add_dependencies(deb halvex halvex_fixture halvexctl halvex-sim halvexctl_docs deb_files)
