# vtl_expect_exports(FOUND EXPECTED): fails unless the two lists of exported
# names hold the same names, in any order.
function(vtl_expect_exports found expected)
  list(SORT found)
  list(SORT expected)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "exports are [${found}], expected [${expected}]")
  endif()
  message(STATUS "exports: ${found}")
endfunction()
