# The HTML reference of the public headers, with Doxygen (docs/Doxyfile.in):
#   cmake --build --preset release --target docs
# Any Doxygen warning fails the target. With LUMFILESYSTEM_BUILD_DOCS the
# reference is built with everything else and the development package
# installs it (share/doc/liblumfilesystem-dev/html).
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  if(LUMFILESYSTEM_BUILD_DOCS)
    message(FATAL_ERROR "LUMFILESYSTEM_BUILD_DOCS needs doxygen (scripts/install-deps.sh installs it)")
  endif()
  return()
endif()

# Exactly the headers a consumer includes, as installed (the generated
# Export.h files hold macros only).
set(LUMFILESYSTEM_DOCS_HEADERS)
foreach(target IN ITEMS LumFilesystem LumPointer LumString LumHash)
  get_target_property(headers ${target} HEADER_SET)
  get_target_property(sourceDir ${target} SOURCE_DIR)
  foreach(header IN LISTS headers)
    cmake_path(ABSOLUTE_PATH header BASE_DIRECTORY ${sourceDir} NORMALIZE)
    list(APPEND LUMFILESYSTEM_DOCS_HEADERS ${header})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES LUMFILESYSTEM_DOCS_HEADERS)
list(JOIN LUMFILESYSTEM_DOCS_HEADERS " " LUMFILESYSTEM_DOCS_INPUT)
string(APPEND LUMFILESYSTEM_DOCS_INPUT " ${PROJECT_SOURCE_DIR}/README.md")

set(LUMFILESYSTEM_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${LUMFILESYSTEM_DOCS_DIR}/Doxyfile @ONLY)
set(stamp ${LUMFILESYSTEM_DOCS_DIR}/html/index.html)
add_custom_command(OUTPUT ${stamp}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${LUMFILESYSTEM_DOCS_DIR}/html
  COMMAND Doxygen::doxygen ${LUMFILESYSTEM_DOCS_DIR}/Doxyfile
  DEPENDS ${LUMFILESYSTEM_DOCS_HEADERS} ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/comments.awk
          ${LUMFILESYSTEM_DOCS_DIR}/Doxyfile
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Doxygen: the HTML reference in ${LUMFILESYSTEM_DOCS_DIR}/html"
  VERBATIM)
if(LUMFILESYSTEM_BUILD_DOCS)
  add_custom_target(docs ALL DEPENDS ${stamp})
  if(LUMFILESYSTEM_INSTALL)
    install(DIRECTORY ${LUMFILESYSTEM_DOCS_DIR}/html/
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/liblumfilesystem-dev/html
      COMPONENT development)
  endif()
else()
  add_custom_target(docs DEPENDS ${stamp})
endif()
