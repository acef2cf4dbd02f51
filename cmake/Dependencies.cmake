# Everything comes from Debian packages; nothing is downloaded by hand. The
# Windows (mingw-w64) build has its own list, cross-built from Debian sources.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/DependenciesMingw.cmake)
  return()
endif()

# Boost 1.81 rather than Debian's default 1.74: 1.74's copy_file fails between
# file systems (copy_file_range answers EXDEV and 1.74 does not fall back).
find_package(Boost 1.81...<1.82 CONFIG REQUIRED COMPONENTS filesystem)
find_package(glog 0.6 CONFIG REQUIRED)
find_package(utf8cpp CONFIG REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
