# Fails unless the dynamic symbol table of LIBRARY defines exactly the
# symbols in EXPECTED (a ;-list).
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ +[A-Za-z] +(.+)$")
    list(APPEND found "${CMAKE_MATCH_1}")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/expect_exports.cmake)
vtl_expect_exports("${found}" "${EXPECTED}")
