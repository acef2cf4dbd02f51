# Debian packages with CPack: `cpack -G DEB` in a build tree makes one package
# per install component, named as Debian names a shared library's packages:
#   liblumfilesystem<SOVERSION>  the shared libraries (with the family's sibling
#                                stand-ins, which nothing else ships)
#   liblumfilesystem-dev         headers, link-time names, CMake and pkg-config files
#   lumfs                        the command-line program
# Depends of the runtime and lumfs packages are computed by dpkg-shlibdeps
# (package dpkg-dev); the development package names the -dev packages whose
# headers the public headers include.
set(LUMFILESYSTEM_SOVERSION ${PROJECT_VERSION_MAJOR})
set(LUMFILESYSTEM_RUNTIME_PACKAGE liblumfilesystem${LUMFILESYSTEM_SOVERSION})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumfilesystem)
set(CPACK_PACKAGE_VENDOR "Tarnix")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(LUMFILESYSTEM_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "LumFilesystem developers <lumfilesystem@tarnix.invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)  # Debian ships stripped programs and libraries
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# lumfs links the runtime package's libraries, which are in no installed
# package yet: dpkg-shlibdeps finds them in the build tree, and the
# dependency on their package is named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/Filesystem ${PROJECT_BINARY_DIR}/LumString ${PROJECT_BINARY_DIR}/LumHash
  ${PROJECT_BINARY_DIR}/LumPointer)

# The extended descriptions (lines of at most 80 characters); CPack puts the
# package summary above each.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "LumFilesystem gives desktop applications a path type, tree operations,
file caches whose read locks hold across processes, directory watchers
and junctions. This package holds the shared libraries.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${LUMFILESYSTEM_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # the runtime package: a shlibs file
# ... and the ldconfig trigger in place of CPack's ldconfig scripts.
set(CPACK_LUMFILESYSTEM_RUNTIME_PACKAGE ${LUMFILESYSTEM_RUNTIME_PACKAGE})
set(CPACK_LUMFILESYSTEM_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/cmake/debian)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/Triggers.cmake)

set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "LumFilesystem gives desktop applications a path type, tree operations,
file caches whose read locks hold across processes, directory watchers
and junctions. This package holds the headers, the CMake package, the
pkg-config file and, when built, the HTML reference.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME liblumfilesystem-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${LUMFILESYSTEM_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}), libboost1.81-dev, libboost-filesystem1.81-dev")

set(CPACK_DEBIAN_TOOLS_DESCRIPTION "lumfs copies files and trees with progress, removes trees, fills, searches
and cleans file caches, watches directories and makes junctions, through
the LumFilesystem library.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME lumfs)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${LUMFILESYSTEM_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")

# What Debian asks of every package: its copyright and its changelog (a native
# package's), in /usr/share/doc/<package>.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND ${GZIP} -9nf -k ${PROJECT_BINARY_DIR}/debian/changelog COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
if(LUMFILESYSTEM_BUILD_DOCS)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/liblumfilesystem-dev.doc-base
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc-base RENAME liblumfilesystem-dev
    COMPONENT development EXCLUDE_FROM_ALL)
endif()

include(CPack)
