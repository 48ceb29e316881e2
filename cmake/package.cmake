# Debian packages with CPack, one for each install component:
#   libvtl1      Runtime      libvtl.so.1*
#   libvtl-dev   Development  header, libvtl.so, vtl.pc, CMake package, vtl(3)
#   vtl-tools    Tools        vtl-sendmail, vtl-open and their pages
# They are made from a build configured for /usr, so that GNUInstallDirs
# puts the library in the multiarch directory (lib/x86_64-linux-gnu):
#   cmake --workflow --preset deb
# A build for another prefix refuses to make them (deb/prebuild.cmake).
set(VTL_DEB_MAINTAINER "The vtl developers <vtl@example.org>" CACHE STRING
  "Maintainer field of the Debian packages (name <address>)")
set(VTL_DEB_RELEASE 1 CACHE STRING
  "Debian revision of the packages: raise it for a new packaging of the same version")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vtl)
set(CPACK_PACKAGE_VENDOR "The vtl developers")
set(CPACK_PACKAGE_CONTACT "${VTL_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VTL_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VTL_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends from the ELF files' needs (libc6, libssl3, libstdc++6, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb/prebuild.cmake strips the programs and the library as dh_strip does,
# and compresses the pages and the changelogs.
set(CPACK_VTL_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_VTL_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/prebuild.cmake)
set(vtl_deb_version ${PROJECT_VERSION}-${VTL_DEB_RELEASE})

set(vtl_deb_about
  "vtl is a small library with a plain C interface for desktop applications.
VTLSendMail sends one short plain-text mail through an SMTP server in one
blocking call, over TLS and with a login where the server asks for them;
VTLSendMailEx sends one message to several recipients, with Cc, Bcc and
files attached. In a Japanese locale the texts go out as ISO-2022-JP,
elsewhere as ASCII or UTF-8. VTLInternet opens a web page, a document or a
program with the handler the user's desktop associates with it.
VTLSignIn signs a user in with Microsoft 365, Google or another OAuth 2
provider, so that later sends log in with XOAUTH2 and no password.
")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvtl1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "library to send short mails over SMTP and open documents
${vtl_deb_about}
This package holds the shared library.")
# libvtl1 (the only package with a shared object) gets a shlibs file and a
# symbols file, so that programs built against vtl depend on libvtl1 of at
# least the version that has what they use, and the trigger that has
# ldconfig run. CPack also calls ldconfig in the postinst and postrm it
# writes for any library in /usr/lib: redundant, and harmless.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/deb/symbols ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvtl-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libvtl1 (= ${vtl_deb_version})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "library to send short mails over SMTP and open documents (development files)
${vtl_deb_about}
This package holds what a program needs to be built against vtl: the header
vtl.h, the pkg-config file vtl.pc, the CMake package (find_package(vtl),
target vtl::vtl) and the manual page vtl(3).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vtl-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "send short mails over SMTP and open documents from the command line
${vtl_deb_about}
This package holds the command-line tools built on it: vtl-sendmail sends a
mail given by its options and standard input, and vtl-open opens a document
or a web page with the desktop's handler.")

# Every package carries the licence in Debian's copyright format, made from
# LICENSE, and a changelog of the packaging.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE vtl_licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${vtl_licence}")
set(vtl_copyright_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" vtl_licence "${vtl_licence}")
string(STRIP "${vtl_licence}" vtl_licence)
string(REGEX REPLACE "\n\n" "\n.\n" vtl_licence "${vtl_licence}")
string(REGEX REPLACE "\n" "\n " vtl_licence "${vtl_licence}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vtl

Files: *
Copyright: ${vtl_copyright_holder}
License: Expat
 ${vtl_licence}
")
# The date is the configure time, or SOURCE_DATE_EPOCH for a reproducible build.
string(TIMESTAMP vtl_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.Debian
"vtl (${vtl_deb_version}) unstable; urgency=medium

  * vtl ${PROJECT_VERSION}, packaged by CPack from its install rules.

 -- ${VTL_DEB_MAINTAINER}  ${vtl_deb_date}
")
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  # Not in a plain `cmake --install`, only in the packages.
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/deb/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.Debian
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
