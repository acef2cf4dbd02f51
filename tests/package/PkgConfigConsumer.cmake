# Installs the build tree into a scratch prefix, then compiles and runs
# examples/consumer with nothing but the flags `pkg-config --cflags --libs
# lumfilesystem` gives: the installed lumfilesystem.pc must stand on its own.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DCXX=... -DVERSION=... -P PkgConfigConsumer.cmake
file(REMOVE_RECURSE "${WORK_DIR}")

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

run(ignored ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
file(GLOB pcFiles "${WORK_DIR}/prefix/*/pkgconfig/lumfilesystem.pc" "${WORK_DIR}/prefix/*/*/pkgconfig/lumfilesystem.pc")
list(LENGTH pcFiles found)
if(NOT found EQUAL 1)
  message(FATAL_ERROR "expected one installed lumfilesystem.pc, found: ${pcFiles}")
endif()
get_filename_component(pcDir "${pcFiles}" DIRECTORY)
set(pkgConfig ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${pcDir}" pkg-config)

run(modversion ${pkgConfig} --modversion lumfilesystem)
string(STRIP "${modversion}" modversion)
if(NOT modversion STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config --modversion: ${modversion}, expected ${VERSION}")
endif()
run(flags ${pkgConfig} --cflags --libs lumfilesystem)
string(STRIP "${flags}" flags)
run(libdir ${pkgConfig} --variable=libdir lumfilesystem)
string(STRIP "${libdir}" libdir)
separate_arguments(flags UNIX_COMMAND "${flags}")
message(STATUS "pkg-config --cflags --libs lumfilesystem: ${flags}")

run(ignored "${CXX}" -std=c++17 "${SOURCE_DIR}/examples/consumer/main.cpp" -o "${WORK_DIR}/consumer" ${flags}
    "-Wl,-rpath,${libdir}")
run(output "${WORK_DIR}/consumer")
message(STATUS "${output}")
