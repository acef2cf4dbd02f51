include(CMakePackageConfigHelpers)

set(LUMFILESYSTEM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LumFilesystem)

install(TARGETS LumFilesystem LumString LumHash LumPointer
  EXPORT LumFilesystemTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILE_SET export_header DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT LumFilesystemTargets
  NAMESPACE LumFilesystem::
  DESTINATION ${LUMFILESYSTEM_CMAKE_DIR})

configure_package_config_file(cmake/LumFilesystemConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfig.cmake
  INSTALL_DESTINATION ${LUMFILESYSTEM_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/LumFilesystemConfigVersion.cmake
  DESTINATION ${LUMFILESYSTEM_CMAKE_DIR})
