# Builds the Debian packages of the build tree with CPack and checks each
# one's control fields and contents with dpkg-deb.
#   cmake -DCPACK=... -DBUILD_DIR=... -DWORK_DIR=... -DVERSION=... -DSOVERSION=... -P DebianPackages.cmake
file(REMOVE_RECURSE "${WORK_DIR}")

function(run out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}\n${error}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

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
set(lib "\\./usr/lib[^ \n]*/")
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
