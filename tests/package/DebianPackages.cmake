# Builds the Debian packages of the build tree with CPack, checks each one's
# control fields and contents with dpkg-deb and all of them with lintian, then
# unpacks them into a scratch root and builds a consumer against that root.
#   cmake -DCPACK=... -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DVERSION=... -DSOVERSION=...
#         -DARCH=... -DMULTIARCH=... -DCXX=... -DDOCS=ON|OFF -P DebianPackages.cmake
file(REMOVE_RECURSE "${WORK_DIR}")

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

function(expect text what)
  foreach(pattern IN LISTS ARGN)
    if(NOT text MATCHES "${pattern}")
      message(FATAL_ERROR "${what}: no match for '${pattern}' in:\n${text}")
    endif()
  endforeach()
endfunction()

function(refuse text what)
  foreach(pattern IN LISTS ARGN)
    if(text MATCHES "${pattern}")
      message(FATAL_ERROR "${what}: unexpected '${CMAKE_MATCH_0}' in:\n${text}")
    endif()
  endforeach()
endfunction()

run(ignored "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}")

set(runtime liblumfilesystem${SOVERSION})
set(lib "\\./usr/lib/${MULTIARCH}/")
foreach(package IN ITEMS ${runtime} liblumfilesystem-dev lumfs)
  file(GLOB deb "${WORK_DIR}/${package}_${VERSION}_*.deb")
  if(NOT deb)
    file(GLOB made "${WORK_DIR}/*.deb")
    message(FATAL_ERROR "no package ${package} ${VERSION}; made: ${made}")
  endif()
  run(fields dpkg-deb -f "${deb}" Package Version Depends)
  run(contents dpkg-deb -c "${deb}")
  message(STATUS "${package}:\n${fields}")
  expect("${fields}" "${package} fields" "Package: ${package}\n" "Version: ${VERSION}\n")
  if(package STREQUAL runtime)
    expect("${fields}" "${package} depends" "libboost-filesystem1\\.81\\.0" "libgoogle-glog0v6" "libc6 \\(>= ")
    expect("${contents}" "${package} contents" "${lib}libLumFilesystem\\.so\\.${SOVERSION} -> "
           "${lib}libLumFilesystem\\.so\\.${VERSION}\n" "${lib}libLumPointer\\.so\\.${SOVERSION} -> ")
    refuse("${contents}" "${package} contents" "include/" "\\.so -> " "bin/")
    run(shlibs dpkg-deb -I "${deb}" shlibs)
    expect("${shlibs}" "${package} shlibs" "libLumFilesystem ${SOVERSION} ${runtime} ")
  elseif(package STREQUAL "liblumfilesystem-dev")
    expect("${fields}" "${package} depends" "${runtime} \\(= ${VERSION}\\)" "libboost-filesystem1\\.81-dev")
    expect("${contents}" "${package} contents" "\\./usr/include/LumFilesystem\\.h\n"
           "\\./usr/include/Filesystem/DirectoryWatcher\\.h\n" "\\./usr/include/Filesystem/Export\\.h\n"
           "${lib}libLumFilesystem\\.so -> libLumFilesystem\\.so\\.${SOVERSION}\n"
           "${lib}cmake/LumFilesystem/LumFilesystemConfig\\.cmake\n" "${lib}pkgconfig/lumfilesystem\\.pc\n")
    refuse("${contents}" "${package} contents" "\\.so\\.${VERSION}" "bin/")
  else()
    expect("${fields}" "${package} depends" "${runtime} \\(= ${VERSION}\\)" "libc6 \\(>= ")
    expect("${contents}" "${package} contents" "\\./usr/bin/lumfs\n")
    refuse("${contents}" "${package} contents" "lib/" "include/")
  endif()
endforeach()

# The reference documentation, when the tree builds it, and lumfs's manual
# page and completion.
if(DOCS)
  run(contents dpkg-deb -c "${WORK_DIR}/liblumfilesystem-dev_${VERSION}_${ARCH}.deb")
  expect("${contents}" "liblumfilesystem-dev docs" "\\./usr/share/doc/liblumfilesystem-dev/html/index\\.html\n")
endif()
run(contents dpkg-deb -c "${WORK_DIR}/lumfs_${VERSION}_${ARCH}.deb")
expect("${contents}" "lumfs contents" "\\./usr/share/man/man1/lumfs\\.1\\.gz\n"
       "\\./usr/share/bash-completion/completions/lumfs\n")

# Debian's own checker: no error and no warning on any of the packages.
# What it still says at the info level is printed for the record.
find_program(LINTIAN lintian)
if(NOT LINTIAN)
  message(FATAL_ERROR "lintian is missing (scripts/install-deps.sh installs it)")
endif()
file(GLOB debs "${WORK_DIR}/*.deb")
execute_process(COMMAND ${LINTIAN} --info --display-info --no-tag-display-limit ${debs}
  RESULT_VARIABLE result OUTPUT_VARIABLE tags ERROR_VARIABLE tags)
message(STATUS "lintian:\n${tags}")
refuse("${tags}" "lintian" "(^|\n)[EW]: [^\n]*")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "lintian failed (${result}):\n${tags}")
endif()

# The packages unpacked into a scratch root stand on their own: a consumer
# builds against them with find_package and with pkg-config, and runs.
set(root "${WORK_DIR}/root")
foreach(deb IN LISTS debs)
  run(ignored dpkg-deb -x "${deb}" "${root}")
endforeach()
set(libdir "${root}/usr/lib/${MULTIARCH}")
if(NOT EXISTS "${libdir}/libLumFilesystem.so.${SOVERSION}")
  message(FATAL_ERROR "the libraries are not in the multiarch directory ${libdir}")
endif()
run(ignored ${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples/consumer" -B "${WORK_DIR}/consumer" -G Ninja
    "-DCMAKE_PREFIX_PATH=${root}/usr" "-DCMAKE_CXX_COMPILER=${CXX}")
run(ignored ${CMAKE_COMMAND} --build "${WORK_DIR}/consumer")
run(ignored ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}" "${WORK_DIR}/consumer/consumer")

set(pkgConfig ${CMAKE_COMMAND} -E env "PKG_CONFIG_SYSROOT_DIR=${root}" "PKG_CONFIG_LIBDIR=${libdir}/pkgconfig" pkg-config)
run(flags ${pkgConfig} --cflags --libs lumfilesystem)
string(STRIP "${flags}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(ignored "${CXX}" -std=c++17 "${SOURCE_DIR}/examples/consumer/main.cpp" -o "${WORK_DIR}/pkgconfig-consumer" ${flags})
run(ignored ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}" "${WORK_DIR}/pkgconfig-consumer")
run(version ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}" "${root}/usr/bin/lumfs" --version)
expect("${version}" "the unpacked lumfs" "lumfs ${VERSION}")
