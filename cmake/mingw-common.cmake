# What both Windows cross builds share. The posix thread model is the one
# whose C++ runtime has std::thread, which the tests use; the runtime is
# linked statically, so the DLL itself imports nothing from it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VTL_MINGW_TRIPLE})
set(CMAKE_C_COMPILER ${VTL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VTL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VTL_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${VTL_MINGW_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${VTL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Test programs run under Wine; tools/wine-run.sh picks the prefix and locale.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh)
