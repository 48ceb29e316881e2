# The Windows builds' tests. They run under Wine (CMAKE_CROSSCOMPILING_EMULATOR,
# tools/wine-run.sh) in a prefix of this build's own: the whole GoogleTest
# suite under a Japanese and under an English user locale, the exported API
# through the import library, a C host that loads the DLL at run time, and
# the DLL's export and import tables.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VTL_WINE_ARCH win64)
else()
  set(VTL_WINE_ARCH win32)
endif()
set(VTL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-${VTL_WINE_ARCH})

add_test(NAME wine_prefix
  COMMAND sh ${PROJECT_SOURCE_DIR}/tools/wine-prefix.sh ${VTL_WINE_PREFIX} ${VTL_WINE_ARCH})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 600)

# Two runs for each suite. The Japanese one (user locale JPN, ANSI code page
# 932) is in Sydney's zone, the English one (ENU, 1252) in New York's: at
# any date one of them is in daylight-saving time.
set(VTL_LOCALES ja en)
set(VTL_LOCALE_ja LANG=ja_JP.UTF-8 TZ=Australia/Sydney)
set(VTL_LOCALE_en LANG=en_US.UTF-8 TZ=America/New_York)

function(vtl_wine_test name locale)
  add_test(NAME ${name}.${locale} COMMAND ${ARGN})
  set_tests_properties(${name}.${locale} PROPERTIES
    FIXTURES_REQUIRED wine
    # One Wine process at a time in the prefix, and port 25 is shared.
    RESOURCE_LOCK "wine;port25"
    TIMEOUT 900
    ENVIRONMENT "WINEPREFIX=${VTL_WINE_PREFIX};VTL_TEST_LOCALE=${locale};${VTL_LOCALE_${locale}}"
    ENVIRONMENT_MODIFICATION "LC_ALL=unset:;LC_CTYPE=unset:;LANGUAGE=unset:")
endfunction()

foreach(locale IN LISTS VTL_LOCALES)
  vtl_wine_test(unit ${locale} vtl_tests)
  vtl_wine_test(api ${locale} vtl_api_tests)
  vtl_wine_test(c_api ${locale} vtl_c_api_test)
  set_tests_properties(unit.${locale} PROPERTIES FIXTURES_REQUIRED "wine;unit_certs")
endforeach()
# The certificates the unit tests verify a scripted SChannel handshake with.
add_test(NAME unit_certs
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tls/make_certs.sh ${CMAKE_BINARY_DIR}/certs-unit)
set_tests_properties(unit_certs PROPERTIES FIXTURES_SETUP unit_certs)
target_compile_definitions(vtl_tests PRIVATE VTL_TLS_CERTS="${CMAKE_BINARY_DIR}/certs-unit")

# A Japanese user on a system whose ANSI code page is UTF-8 (65001), in
# Tokyo's zone. Wine takes the code page from the Unix locale and does not
# read the ACP value under HKLM\System\CurrentControlSet\Control\Nls\CodePage
# (it writes it); what it honours, as Windows 10 from 1903 does, is a
# program's manifest asking for UTF-8 as its active code page. So this run
# uses copies of the test programs with such a manifest beside them.
set(VTL_LOCALE_ja-utf8 LANG=ja_JP.UTF-8 TZ=Asia/Tokyo)
function(vtl_utf8_copy target)
  set(copy $<TARGET_FILE_DIR:${target}>/${target}-utf8.exe)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${copy}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/win/utf8.manifest ${copy}.manifest
    VERBATIM)
endfunction()
vtl_utf8_copy(vtl_tests)
vtl_utf8_copy(vtl_api_tests)
# Of the unit tests only the locale's depend on the code page of the process.
# (A copy is no target, so the emulator is named.)
vtl_wine_test(unit ja-utf8 ${CMAKE_CROSSCOMPILING_EMULATOR}
              $<TARGET_FILE_DIR:vtl_tests>/vtl_tests-utf8.exe --gtest_filter=WinLocale.*)
vtl_wine_test(api ja-utf8 ${CMAKE_CROSSCOMPILING_EMULATOR}
              $<TARGET_FILE_DIR:vtl_api_tests>/vtl_api_tests-utf8.exe)

# The program the launcher tests register as the handler of their file type
# and URL protocol; it sits beside the tests.
add_executable(vtl_handler win_handler.c)
target_link_libraries(vtl_handler PRIVATE vtl_warnings)
add_dependencies(vtl_api_tests vtl_handler)

# A host program as Windows applications are: LoadLibrary, GetProcAddress,
# a WINAPI function pointer. It does not include the header.
add_executable(vtl_host win_host.c)
target_link_libraries(vtl_host PRIVATE vtl_warnings)
add_dependencies(vtl_host vtl vtl_handler)
# The TLS cases trust their test CA through the prefix's store, as a host
# would through the system's: this puts it there and takes it out.
add_executable(vtl_trust win_trust.c)
target_link_libraries(vtl_trust PRIVATE vtl_warnings crypt32)
add_dependencies(vtl_host vtl_trust)
find_program(VTL_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(VTL_PYTHON)
  add_test(NAME host_roundtrip
    COMMAND ${VTL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/win_host_test.py
            --host $<TARGET_FILE:vtl_host> --dll $<TARGET_FILE:vtl>
            --handler $<TARGET_FILE:vtl_handler> --trust $<TARGET_FILE:vtl_trust>
            --wine ${PROJECT_SOURCE_DIR}/tools/wine-run.sh --samples ${PROJECT_SOURCE_DIR}/samples)
  set_tests_properties(host_roundtrip PROPERTIES
    FIXTURES_REQUIRED wine RESOURCE_LOCK "wine;port25" TIMEOUT 600
    ENVIRONMENT "WINEPREFIX=${VTL_WINE_PREFIX};TZ=Asia/Tokyo")
endif()

# Signing in with a fake provider, the browser winebrowser starts, and
# sending with the grant kept in the prefix, through the DLL's C API.
if(VTL_PYTHON)
  add_test(NAME signin_api
    COMMAND ${VTL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/signin/signin_test.py
            --certs ${CMAKE_BINARY_DIR}/certs-signin --trust $<TARGET_FILE:vtl_trust>
            --emulator ${CMAKE_CROSSCOMPILING_EMULATOR} --host $<TARGET_FILE:vtl_signin_host>
            SignInTest NoBrowserTest)
  set_tests_properties(signin_api PROPERTIES
    FIXTURES_REQUIRED wine RESOURCE_LOCK wine TIMEOUT 900
    ENVIRONMENT "WINEPREFIX=${VTL_WINE_PREFIX};LANG=en_US.UTF-8")
  add_dependencies(vtl_signin_host vtl_trust)
endif()

# The TLS client against servers with good and bad certificates, under Wine,
# whose SChannel never resumes a session.
if(VTL_PYTHON)
  add_test(NAME tls
    COMMAND ${VTL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tls_test.py --no-resumption
            ${CMAKE_BINARY_DIR}/certs
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:vtl_tls_probe>)
  set_tests_properties(tls PROPERTIES
    FIXTURES_REQUIRED wine RESOURCE_LOCK wine TIMEOUT 600
    ENVIRONMENT "WINEPREFIX=${VTL_WINE_PREFIX}")
endif()

# Export and import tables, and the size of the stripped 64-bit DLL.
# Only DLLs that every Windows from 7 on has; the UCRT api sets are not on a
# Windows 7 without its update, so they are not allowed.
set(VTL_IMPORTS_ALLOWED KERNEL32.dll WS2_32.dll SHELL32.dll ADVAPI32.dll ole32.dll msvcrt.dll
  CRYPT32.dll bcrypt.dll)
# The limit catches a runtime or a library linked in whole (a C++ runtime
# alone is megabytes), with room for the library's own growth: 775 KiB now,
# with the whole message (lists, header lines, MIME parts, files, NFC
# tables), the UTF-16 entry points and the sign-in (its HTTP, JSON and
# storage).
set(VTL_SIZE_LIMIT "")
if(VTL_WINE_ARCH STREQUAL win64)
  set(VTL_SIZE_LIMIT -DMAX_STRIPPED_BYTES=851968)
endif()
add_test(NAME dll_tables
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:vtl> -DOBJDUMP=${CMAKE_OBJDUMP}
          -DSTRIP=${CMAKE_STRIP} ${VTL_SIZE_LIMIT} "-DEXPORTS=${VTL_EXPORTS}"
          "-DIMPORTS_ALLOWED=${VTL_IMPORTS_ALLOWED}" -P ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.cmake)
