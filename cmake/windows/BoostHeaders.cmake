# Copies the third-party headers that the public headers include (Boost's,
# and utf8-cpp's for utf8::not_enough_room), and nothing more, into a folder
# for the Windows package: the compiler lists what it opens for C++17 and
# C++20, and Boost's configuration headers are taken whole, since they choose
# among themselves by compiler and version.
#   cmake -DCXX=... -DFLAGS=<list> -DHEADERS=<list> -DTHIRD_PARTY=<include dir>
#         -DOUTPUT=<dir> -P BoostHeaders.cmake
file(REMOVE_RECURSE "${OUTPUT}")
file(MAKE_DIRECTORY "${OUTPUT}")
set(source "${OUTPUT}.cpp")
set(text "#include <utf8.h>\n")
foreach(header IN LISTS HEADERS)
  string(APPEND text "#include \"${header}\"\n")
endforeach()
file(WRITE "${source}" "${text}")

set(headers)
foreach(standard 17 20)
  execute_process(COMMAND ${CXX} -std=c++${standard} ${FLAGS} -M -MF "${OUTPUT}.d" "${source}"
    RESULT_VARIABLE result ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "listing the headers of ${source} failed:\n${error}")
  endif()
  file(READ "${OUTPUT}.d" dependencies)
  string(REPLACE "\\\n" " " dependencies "${dependencies}")
  string(REGEX REPLACE "[ \t\n]+" ";" dependencies "${dependencies}")
  foreach(path IN LISTS dependencies)
    cmake_path(NORMAL_PATH path)
    cmake_path(IS_PREFIX THIRD_PARTY "${path}" NORMALIZE inside)
    if(inside)
      cmake_path(RELATIVE_PATH path BASE_DIRECTORY "${THIRD_PARTY}")
      list(APPEND headers "${path}")
    endif()
  endforeach()
endforeach()
file(GLOB_RECURSE config RELATIVE "${THIRD_PARTY}" "${THIRD_PARTY}/boost/config/*")
list(APPEND headers ${config} boost/config.hpp)
list(REMOVE_DUPLICATES headers)

foreach(header IN LISTS headers)
  get_filename_component(dir "${OUTPUT}/${header}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  file(REAL_PATH "${THIRD_PARTY}/${header}" real)
  file(COPY_FILE "${real}" "${OUTPUT}/${header}")
endforeach()
list(LENGTH headers count)
message(STATUS "${count} third-party headers for the package")
file(REMOVE "${source}" "${OUTPUT}.d")
