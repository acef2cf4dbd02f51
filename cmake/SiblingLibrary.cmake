include(GenerateExportHeader)

# lum_add_sibling_library(<name> <BASE> SOURCES <cpp>... HEADERS <h>...)
# A stand-in for one of the family's sibling libraries: a shared library with
# a generated <name>/Export.h whose <BASE>_EXPORT marks its API.
function(lum_add_sibling_library name base)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "SOURCES;HEADERS")
  set(exportHeader ${PROJECT_BINARY_DIR}/include/${name}/Export.h)
  add_library(${name} SHARED ${ARG_SOURCES})
  add_library(LumFilesystem::${name} ALIAS ${name})
  generate_export_header(${name} BASE_NAME ${base} EXPORT_FILE_NAME ${exportHeader})
  target_sources(${name}
    PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR} FILES ${ARG_HEADERS}
    PUBLIC FILE_SET export_header TYPE HEADERS BASE_DIRS ${PROJECT_BINARY_DIR}/include FILES ${exportHeader})
  target_compile_features(${name} PUBLIC cxx_std_17)
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  # A shared library names the C library it runs on, even when it calls none
  # of its functions directly (Debian requires it).
  if(NOT WIN32)
    target_link_options(${name} PRIVATE "LINKER:--no-as-needed,-lc,--as-needed")
  endif()
endfunction()
