# cmake --install: the header, the library, the two tools and their man
# pages (and one for the API), a pkg-config file
# and a CMake package (find_package(vtl CONFIG), target vtl::vtl), in the
# GNUInstallDirs places. The version is the project()'s.
# Three components, one for each Debian package (cmake/package.cmake):
# Runtime (the shared library), Development (header, namelink, .pc, CMake
# package, vtl(3)) and Tools (the two programs and their pages).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vtl EXPORT vtlTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES include/vtl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(TARGETS vtl-sendmail vtl-open RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
install(FILES man/vtl-sendmail.1 man/vtl-open.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT Tools)
install(FILES man/vtl.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT Development)

set(VTL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vtl)
install(EXPORT vtlTargets NAMESPACE vtl:: DESTINATION ${VTL_CMAKE_DIR} COMPONENT Development)
configure_package_config_file(cmake/vtlConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vtlConfig.cmake INSTALL_DESTINATION ${VTL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vtlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vtlConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/vtlConfigVersion.cmake
  DESTINATION ${VTL_CMAKE_DIR} COMPONENT Development)

if(NOT WIN32)
  # The .pc file gives paths relative to its own place, so that an
  # installation can be moved; but one for /usr (the Debian packages) names
  # /usr, whose directories pkg-config knows as the system's and leaves out.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(VTL_PC_PREFIX /usr)
  else()
    file(RELATIVE_PATH VTL_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
    set(VTL_PC_PREFIX "\${pcfiledir}/${VTL_PC_PREFIX}")
  endif()
  configure_file(cmake/vtl.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vtl.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vtl.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
endif()
