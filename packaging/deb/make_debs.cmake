# Makes the Debian packages with CPack and puts them, and nothing else, into OUT.
#   cmake -DBUILD=DIR -DOUT=DIR -DDPKG_DEB=PROGRAM -P make_debs.cmake
# CPack gives a package with shared libraries maintainer scripts that run ldconfig; Debian runs
# it from the trigger the package activates instead, so the library package is rebuilt without
# them (dpkg-deb, files owned by root as CPack writes them).
set(work ${BUILD}/cpack)
file(REMOVE_RECURSE ${work} ${OUT})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${work}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed")
endif()
file(GLOB debs ${work}/*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 4)
  message(FATAL_ERROR "cpack made ${count} packages, not 4: ${debs}")
endif()
file(MAKE_DIRECTORY ${OUT})
foreach(deb IN LISTS debs)
  get_filename_component(name ${deb} NAME)
  if(name MATCHES "^libhalvex1_")
    set(tree ${work}/repack)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND ${DPKG_DEB} --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build ${tree} ${OUT}/${name}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  else()
    file(COPY ${deb} DESTINATION ${OUT})
  endif()
endforeach()
file(GLOB made RELATIVE ${OUT} ${OUT}/*.deb)
list(SORT made)
string(REPLACE ";" "\n  " made "${made}")
message(STATUS "Debian packages in ${OUT}:\n  ${made}")
