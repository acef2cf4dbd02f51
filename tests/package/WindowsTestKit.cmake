# The Windows test kit is complete and runs on its own: unpacks the ZIP into
# a fresh folder and runs its run-tests.cmd there under Wine (`wine cmd /c`),
# with no folder of the build on the DLL search path. Every test case that
# CTest registers for the kit's programs must be counted, none failed. The
# kit holds the licence notices too.
#   cmake -DKIT=<zip> -DWORK_DIR=... -DWINE_RUN=... -DCTEST=... -DBUILD_DIR=... -P WindowsTestKit.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${KIT}" WORKING_DIRECTORY "${WORK_DIR}" COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(name "${KIT}" NAME_WE)
string(REGEX REPLACE "\\.zip$" "" name "${name}")
file(GLOB kit LIST_DIRECTORIES true "${WORK_DIR}/*")
include(${CMAKE_CURRENT_LIST_DIR}/Notices.cmake)
lum_check_notices("${kit}" "${name}.zip")

set(ENV{LUM_WINEPATH} "")
execute_process(COMMAND ${WINE_RUN} cmd /c run-tests.cmd /nopause
  WORKING_DIRECTORY "${kit}" RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message(STATUS "${output}")
string(REGEX REPLACE "[\r\n]+$" "" trimmed "${output}")
string(REGEX MATCH "[^\r\n]*$" closing "${trimmed}")
if(NOT closing MATCHES "^([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped$")
  message(FATAL_ERROR "no closing line (exit status ${result}):\n${output}\n${errors}")
endif()
math(EXPR counted "${CMAKE_MATCH_1} + ${CMAKE_MATCH_2} + ${CMAKE_MATCH_3}")
set(failed ${CMAKE_MATCH_2})

# What CTest runs of the same programs: every test case but the fixtures and
# the package tests.
execute_process(COMMAND ${CTEST} -N WORKING_DIRECTORY "${BUILD_DIR}" OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "Test +#[0-9]+: [^\n]+" cases "${listing}")
list(FILTER cases EXCLUDE REGEX ": (Wine\\.StartServer|Wine\\.StopServer|Lumfs\\.Install|Package\\.[A-Za-z]+)$")
list(LENGTH cases registered)
if(NOT result EQUAL 0 OR NOT failed EQUAL 0 OR NOT counted EQUAL registered)
  message(FATAL_ERROR "the kit counted ${counted} tests (CTest has ${registered}), ${failed} failed, "
                      "exit status ${result}:\n${output}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
