# Tests that run against the stand-in installer instead of Wine's own msi.dll:
#
#   include(${CMAKE_SOURCE_DIR}/tests/standin/standin.cmake)
#   standin_add_test(NAME my_test COMMAND my_test_target [ARGS...])
#
# The command (a target or a Windows program's path) runs under the Wine of its
# own bitness in the prefix ${STANDIN_PREFIX}, whose msi.dll in the system folder
# of that bitness is the stand-in (tests/harness/prefix-run.sh). The test sets
# STANDIN_MSI_JOURNAL and STANDIN_MSI_SCRIPT itself, or through
# set_tests_properties(... ENVIRONMENT ...); formats in standin_journal.h, which
# the test includes from ${STANDIN_INCLUDE_DIR}.
set(STANDIN_PREFIX ${CMAKE_BINARY_DIR}/wine-standin)
set(PREFIX_RUN ${CMAKE_SOURCE_DIR}/tests/harness/prefix-run.sh)
set(STANDIN_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR})

function(standin_add_test)
  cmake_parse_arguments(ARG "" "NAME" "COMMAND" ${ARGN})
  list(POP_FRONT ARG_COMMAND program)
  if(TARGET ${program})
    set(program $<TARGET_FILE:${program}>)
  endif()
  add_test(NAME ${ARG_NAME}
           COMMAND bash ${PREFIX_RUN} ${STANDIN_PREFIX} --msi $<TARGET_FILE:standin_msi> ${program} ${ARG_COMMAND})
endfunction()
