# Installs the build tree into a scratch prefix, then compiles and runs
# examples/consumer with nothing but the flags `pkg-config --cflags --libs
# lumfilesystem` gives: the installed lumfilesystem.pc must stand on its own.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DCXX=... -DVERSION=... -P PkgConfigConsumer.cmake
file(REMOVE_RECURSE "${WORK_DIR}")

function(run out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}\n${error}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

run(ignored ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
file(GLOB pcFiles "${WORK_DIR}/prefix/*/pkgconfig/lumfilesystem.pc" "${WORK_DIR}/prefix/*/*/pkgconfig/lumfilesystem.pc")
list(LENGTH pcFiles found)
if(NOT found EQUAL 1)
  message(FATAL_ERROR "expected one installed lumfilesystem.pc, found: ${pcFiles}")
endif()
get_filename_component(pcDir "${pcFiles}" DIRECTORY)
set(pkgConfig ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${pcDir}" pkg-config)

run(modversion ${pkgConfig} --modversion lumfilesystem)
if(NOT modversion STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config --modversion: ${modversion}, expected ${VERSION}")
endif()
run(flags ${pkgConfig} --cflags --libs lumfilesystem)
run(libdir ${pkgConfig} --variable=libdir lumfilesystem)
separate_arguments(flags UNIX_COMMAND "${flags}")
message(STATUS "pkg-config --cflags --libs lumfilesystem: ${flags}")

run(ignored "${CXX}" -std=c++17 "${SOURCE_DIR}/examples/consumer/main.cpp" -o "${WORK_DIR}/consumer" ${flags}
    "-Wl,-rpath,${libdir}")
run(output "${WORK_DIR}/consumer")
message(STATUS "${output}")
