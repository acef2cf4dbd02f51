# The Windows SDK ZIP stands on its own: makes it with CPack, unpacks it into
# a fresh folder, checks what it holds (the licence notices among it), builds
# examples/consumer against the unpacked folder alone (a toolchain that knows
# the compiler and nothing else), once with find_package and once with plain
# compiler flags, then runs both, and lumfs.exe, under Wine with the ZIP's bin
# folder as the only place for DLLs.
#   cmake -DCPACK=... -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DVERSION=...
#         -DCXX=... -DWINE_RUN=... -P WindowsSdk.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

set(name lumfilesystem-${VERSION}-win64)
run(output ${CPACK} -G ZIP --config "${BUILD_DIR}/CPackConfig.cmake" -B "${BUILD_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${BUILD_DIR}/${name}.zip"
  WORKING_DIRECTORY "${WORK_DIR}/unpacked" COMMAND_ERROR_IS_FATAL ANY)
set(sdk "${WORK_DIR}/unpacked/${name}")
foreach(file README-Windows.txt bin/lumfs.exe bin/libLumFilesystem.dll bin/libstdc++-6.dll bin/libglog.dll
             lib/libLumFilesystem.dll.a lib/libboost_filesystem.a include/LumFilesystem.h
             include/boost/filesystem/path.hpp lib/cmake/LumFilesystem/LumFilesystemConfig.cmake)
  if(NOT EXISTS "${sdk}/${file}")
    message(FATAL_ERROR "${name}.zip has no ${file}")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/Notices.cmake)
lum_check_notices("${sdk}" ${name}.zip)
file(STRINGS "${sdk}/lib/pkgconfig/lumfilesystem.pc" prefix REGEX "^prefix=")
if(NOT prefix STREQUAL "prefix=\${pcfiledir}/../..")
  message(FATAL_ERROR "lumfilesystem.pc is not relative to where it is unpacked: ${prefix}")
endif()

# Nothing but the compiler: no dependency prefix, no build tree.
file(WRITE "${WORK_DIR}/toolchain.cmake" "
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER \"${CXX}\")
set(CMAKE_FIND_ROOT_PATH \"${sdk}\")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
")
run(output ${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples/consumer" -B "${WORK_DIR}/build" -G Ninja
    "-DCMAKE_TOOLCHAIN_FILE=${WORK_DIR}/toolchain.cmake" "-DCMAKE_PREFIX_PATH=${sdk}")
run(output ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run(output ${CXX} -std=c++17 -DBOOST_FILESYSTEM_VERSION=3 -DBOOST_FILESYSTEM_NO_DEPRECATED "-I${sdk}/include"
    "${SOURCE_DIR}/examples/consumer/main.cpp" "-L${sdk}/lib" -lLumFilesystem -lLumPointer -lboost_filesystem -lbcrypt
    -o "${WORK_DIR}/consumer-flags.exe")

set(ENV{LUM_WINEPATH} "Z:${sdk}/bin")
foreach(program "${WORK_DIR}/build/consumer.exe" "${WORK_DIR}/consumer-flags.exe")
  run(output ${WINE_RUN} "${program}")
  if(NOT output MATCHES "CopyDir .* ok")
    message(FATAL_ERROR "${program} did not copy:\n${output}")
  endif()
endforeach()
set(ENV{LUM_WINEPATH} "")
run(output ${WINE_RUN} "${sdk}/bin/lumfs.exe" --version)
if(NOT output MATCHES "${VERSION}")
  message(FATAL_ERROR "lumfs.exe --version: ${output}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
