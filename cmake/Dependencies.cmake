# Everything comes from Debian packages; nothing is downloaded by hand. The
# Windows (mingw-w64) build has its own list, cross-built from Debian sources.
# Dependencies of one platform only are found where they are used
# (Filesystem/, LumHash/).
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/DependenciesMingw.cmake)
  return()
endif()

# Boost 1.81 rather than Debian's default 1.74: 1.74's copy_file fails between
# file systems (copy_file_range answers EXDEV and 1.74 does not fall back).
find_package(Boost 1.81...<1.82 CONFIG REQUIRED COMPONENTS filesystem)
find_package(glog 0.6 CONFIG REQUIRED)
find_package(utf8cpp CONFIG REQUIRED)
find_package(Threads REQUIRED)
