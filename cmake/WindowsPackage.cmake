# The Windows SDK: what `cmake --install` of the mingw-w64 build puts in its
# prefix, and `cpack` (ZIP) in lumfilesystem-<version>-win64.zip, is all a
# consumer needs, with nothing else on its machine:
#   bin/      the library and its siblings, lumfs.exe, and every DLL they load
#             that Windows does not have (the compiler's runtime, glog)
#   include/  the public headers, and the Boost and utf8-cpp headers they include
#   lib/      import libraries, Boost.Filesystem (static: the public headers
#             inline calls into it), the CMake package and lumfilesystem.pc
#   licenses/ the licence notices of the third-party code it ships
#             (cmake/windows/Notices.cmake)
#   README-Windows.txt
# The CMake package defines Boost::filesystem from the shipped files unless
# the consumer has defined it already (cmake/LumFilesystemConfig.cmake.in).

# --- Third-party headers the public headers include, gathered at build time
set(LUM_SDK_THIRD_PARTY_INCLUDE ${PROJECT_BINARY_DIR}/sdk/include)
set(headers)
foreach(target LumFilesystem LumPointer LumString LumHash)
  get_target_property(set ${target} HEADER_SET)
  list(APPEND headers ${set})
endforeach()
list(APPEND headers ${PROJECT_SOURCE_DIR}/LumFilesystem.h)
set(flags -DBOOST_FILESYSTEM_VERSION=3 -DBOOST_FILESYSTEM_NO_DEPRECATED
  -I${PROJECT_SOURCE_DIR} -I${PROJECT_BINARY_DIR}/include -I${LUM_BOOST_INCLUDE_DIR})
add_custom_command(OUTPUT ${LUM_SDK_THIRD_PARTY_INCLUDE}.stamp
  COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER} "-DFLAGS=${flags}" "-DHEADERS=${headers}"
          -DTHIRD_PARTY=${LUM_BOOST_INCLUDE_DIR} -DOUTPUT=${LUM_SDK_THIRD_PARTY_INCLUDE}
          -P ${PROJECT_SOURCE_DIR}/cmake/windows/BoostHeaders.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${LUM_SDK_THIRD_PARTY_INCLUDE}.stamp
  DEPENDS ${headers} ${PROJECT_SOURCE_DIR}/cmake/windows/BoostHeaders.cmake
  COMMENT "Gathering the Boost headers the public headers include"
  VERBATIM)
add_custom_target(sdk-third-party-headers ALL DEPENDS ${LUM_SDK_THIRD_PARTY_INCLUDE}.stamp)
install(DIRECTORY ${LUM_SDK_THIRD_PARTY_INCLUDE}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES ${LUM_BOOST_FILESYSTEM_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

# --- The DLLs the installed programs and libraries load
set(binaries $<TARGET_FILE:LumFilesystem> $<TARGET_FILE:LumString> $<TARGET_FILE:LumHash> $<TARGET_FILE:LumPointer>)
if(LUMFILESYSTEM_BUILD_TOOLS)
  list(APPEND binaries $<TARGET_FILE:lumfs>)
endif()
set(own $<TARGET_FILE_NAME:LumFilesystem> $<TARGET_FILE_NAME:LumString> $<TARGET_FILE_NAME:LumHash>
  $<TARGET_FILE_NAME:LumPointer>)
install(CODE "
  include(\"${PROJECT_SOURCE_DIR}/cmake/windows/RuntimeDlls.cmake\")
  lum_copy_runtime_dlls(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\"
    BINARIES \"${binaries}\" DIRECTORIES \"${LUM_MINGW_RUNTIME_DIRS};$<TARGET_FILE_DIR:LumFilesystem>\"
    SKIP \"${own}\" OBJDUMP \"${CMAKE_OBJDUMP}\" COMPILER \"${CMAKE_CXX_COMPILER}\" STRIP \"${CMAKE_STRIP}\")
" COMPONENT runtime)

install(FILES ${PROJECT_SOURCE_DIR}/cmake/windows/README-Windows.txt DESTINATION . COMPONENT runtime)
include(${PROJECT_SOURCE_DIR}/cmake/windows/Notices.cmake)
install(FILES ${LUM_THIRD_PARTY_NOTICE_FILES} DESTINATION licenses COMPONENT runtime)

# --- The ZIP: every component in one archive below lumfilesystem-<version>-win64/
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME lumfilesystem)
set(CPACK_PACKAGE_VENDOR "Tarnix")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_STRIP_FILES ON)  # the compiler's runtime alone carries 20 MB of debugging data
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
