# Run by CPack on the staged packages, before it makes them: a build for
# another prefix than /usr is refused; the programs and the library are
# stripped as dh_strip strips them, and the manual pages and the changelogs
# compressed as Debian has them (gzip -9n: no name, no time stamp).
cmake_policy(VERSION 3.25)
if(NOT CPACK_VTL_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "The Debian packages need a build configured with "
    "-DCMAKE_INSTALL_PREFIX=/usr (cmake --preset deb), not ${CPACK_VTL_INSTALL_PREFIX}")
endif()
set(staged ${CPACK_TEMPORARY_DIRECTORY})

file(GLOB programs ${staged}/*/usr/bin/*)
file(GLOB libraries ${staged}/*/usr/lib/*/lib*.so.*.*)
foreach(file IN LISTS programs libraries)
  set(unneeded)
  if(file IN_LIST libraries)
    set(unneeded --strip-unneeded)
  endif()
  execute_process(COMMAND ${CPACK_VTL_STRIP} --remove-section=.comment --remove-section=.note
      ${unneeded} ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

file(GLOB_RECURSE texts ${staged}/*/usr/share/man/* ${staged}/*/usr/share/doc/*/changelog.Debian)
foreach(file IN LISTS texts)
  execute_process(COMMAND gzip -9n ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
