include(CMakePackageConfigHelpers)

set(LUMFILESYSTEM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LumFilesystem)

# Components, one Debian package each (cmake/Package.cmake): runtime (the
# shared libraries), development (headers, link-time names, CMake and
# pkg-config files) and tools (lumfs, installed from tools/lumfs).
install(TARGETS LumFilesystem LumString LumHash LumPointer
  EXPORT LumFilesystemTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILE_SET export_header DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT LumFilesystemTargets
  NAMESPACE LumFilesystem::
  DESTINATION ${LUMFILESYSTEM_CMAKE_DIR}
  COMPONENT development)

# The Windows package ships Boost's headers and Boost.Filesystem
# (cmake/WindowsPackage.cmake): its CMake package makes the Boost targets
# itself instead of looking for Boost's own package.
if(WIN32)
  set(LUMFILESYSTEM_SHIPS_BOOST ON)
else()
  set(LUMFILESYSTEM_SHIPS_BOOST OFF)
endif()
configure_package_config_file(cmake/LumFilesystemConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfig.cmake
  INSTALL_DESTINATION ${LUMFILESYSTEM_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfigVersion.cmake
  DESTINATION ${LUMFILESYSTEM_CMAKE_DIR}
  COMPONENT development)

# lumfilesystem.pc for consumers without CMake, written at install time so that
# its prefix is the one installed to (cmake --install --prefix, or /usr in the
# Debian packages). It names what a consumer compiles and links against: the
# public headers include Boost.Filesystem and LumPointer (which has no
# pkg-config file of its own on Debian; Boost neither), and the library's
# public compile definitions.
set(LUMFILESYSTEM_PC_DEFINES "-DBOOST_FILESYSTEM_VERSION=3 -DBOOST_FILESYSTEM_NO_DEPRECATED")
set(LUMFILESYSTEM_PC_PUBLIC_LIBS "-lLumPointer -lboost_filesystem")
if(WIN32)
  string(APPEND LUMFILESYSTEM_PC_PUBLIC_LIBS " -lbcrypt")  # Boost.Filesystem's random names
endif()
set(LUMFILESYSTEM_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")  # left for the install step to fill in
if(WIN32)
  # The Windows package is unpacked anywhere: the prefix is where the file is.
  set(LUMFILESYSTEM_PC_PREFIX "\${pcfiledir}/../..")
endif()
configure_file(cmake/lumfilesystem.pc.in ${CMAKE_CURRENT_BINARY_DIR}/lumfilesystem.pc.in @ONLY)
install(CODE "
  set(pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/lumfilesystem.pc\")
  message(STATUS \"Installing: \${pc}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/lumfilesystem.pc.in\" \"\${pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")
" COMPONENT development)

if(WIN32)
  include(cmake/WindowsPackage.cmake)
else()
  include(cmake/Package.cmake)
endif()
