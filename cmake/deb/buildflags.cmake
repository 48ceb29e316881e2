# The deb preset's toolchain file: Debian's compiler and linker flags from
# dpkg-buildflags (-O2 -g, _FORTIFY_SOURCE, the stack protector, relro,
# bindnow) as the initial flags, the way debhelper builds a CMake project.
# CPPFLAGS, which CMake does not read, go with both compilers' flags.
if(NOT DEFINED ENV{DEB_BUILD_MAINT_OPTIONS})
  set(ENV{DEB_BUILD_MAINT_OPTIONS} hardening=+all)
endif()
foreach(flags IN ITEMS CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND dpkg-buildflags --get ${flags}
    OUTPUT_VARIABLE vtl_${flags} OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(CMAKE_C_FLAGS_INIT "${vtl_CPPFLAGS} ${vtl_CFLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${vtl_CPPFLAGS} ${vtl_CXXFLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${vtl_LDFLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${vtl_LDFLAGS}")
