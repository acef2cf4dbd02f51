# The Windows build's dependencies, cross-built by scripts/install-mingw-deps.sh
# into the prefix the toolchain file names (LUM_MINGW_DEPS_PREFIX, searched
# through CMAKE_FIND_ROOT_PATH). GIO and OpenSSL have no part in it: the
# Windows backend uses the shell and BCrypt instead.

# A new prefix (other Debian versions) makes what earlier runs found stale.
if(NOT "${LUM_MINGW_DEPS_PREFIX}" STREQUAL "$CACHE{LUM_MINGW_DEPS_PREFIX_USED}")
  unset(glog_DIR CACHE)
  unset(GTest_DIR CACHE)
  unset(LUM_BOOST_INCLUDE_DIR CACHE)
  unset(LUM_BOOST_FILESYSTEM_LIBRARY CACHE)
  unset(LUM_UTF8CPP_INCLUDE_DIR CACHE)
  set(LUM_MINGW_DEPS_PREFIX_USED "${LUM_MINGW_DEPS_PREFIX}" CACHE INTERNAL "")
endif()

find_package(glog 0.6 CONFIG REQUIRED)
find_package(Threads REQUIRED)

# Boost 1.81 and utf8-cpp headers are Debian's, through the prefix's include
# folder of symbolic links; Boost.Filesystem is a static library with no CMake
# package of its own.
find_path(LUM_BOOST_INCLUDE_DIR boost/version.hpp REQUIRED)
find_path(LUM_UTF8CPP_INCLUDE_DIR utf8.h REQUIRED)
find_library(LUM_BOOST_FILESYSTEM_LIBRARY NAMES libboost_filesystem.a REQUIRED)

add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${LUM_BOOST_INCLUDE_DIR}")
add_library(Boost::filesystem STATIC IMPORTED)
set_target_properties(Boost::filesystem PROPERTIES
  IMPORTED_LOCATION "${LUM_BOOST_FILESYSTEM_LIBRARY}"
  INTERFACE_LINK_LIBRARIES "Boost::headers;bcrypt")  # unique_path() draws from BCrypt

add_library(utf8cpp INTERFACE IMPORTED)
set_target_properties(utf8cpp PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${LUM_UTF8CPP_INCLUDE_DIR}")

# The system libraries the Windows backend calls into: the shell (recycle bin,
# known folders, path helpers), COM memory, UUIDs (the known folders' GUIDs
# among them) and BCrypt random numbers.
add_library(Windows::System INTERFACE IMPORTED)
set_target_properties(Windows::System PROPERTIES
  INTERFACE_LINK_LIBRARIES "shell32;shlwapi;ole32;rpcrt4;uuid;bcrypt;advapi32")

# CLI11 (lumfs) is header-only: Debian's headers, through a folder of their own
# in the build tree, as /usr/include itself must stay off the include path.
set(LUM_CLI11_INCLUDE_DIR ${CMAKE_BINARY_DIR}/mingw-include)
file(MAKE_DIRECTORY ${LUM_CLI11_INCLUDE_DIR})
file(CREATE_LINK /usr/include/CLI ${LUM_CLI11_INCLUDE_DIR}/CLI SYMBOLIC)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${LUM_CLI11_INCLUDE_DIR}")

# Where the DLLs that the build's programs load at run time are: the
# compiler's runtime (libstdc++, libgcc, winpthread) and glog. Wine finds them
# through WINEPATH (cmake/Wine.cmake); the packages ship them
# (cmake/WindowsPackage.cmake).
block(PROPAGATE LUM_MINGW_RUNTIME_DIRS)
set(dirs)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
  endif()
  file(REAL_PATH "${path}" path)
  get_filename_component(dir "${path}" DIRECTORY)
  list(APPEND dirs "${dir}")
endforeach()
get_target_property(configs glog::glog IMPORTED_CONFIGURATIONS)
list(GET configs 0 config)
get_target_property(path glog::glog IMPORTED_LOCATION_${config})
get_filename_component(dir "${path}" DIRECTORY)
list(APPEND dirs "${dir}")
list(REMOVE_DUPLICATES dirs)
set(LUM_MINGW_RUNTIME_DIRS "${dirs}")
endblock()
