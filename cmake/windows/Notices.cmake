# The licence notices of the third-party code that both Windows ZIPs ship
# (the SDK, cmake/WindowsPackage.cmake, and the test kit, tests/kit), staged
# in <build>/licenses for their licenses folder: Boost (headers and
# Boost.Filesystem), utf8-cpp, glog, the compiler's runtime (libstdc++ and
# libgcc, GPL 3 with the GCC Runtime Library Exception) and mingw-w64 (its
# winpthreads DLL and the startup code in every program). Each is the Debian
# copyright file of the package the shipped file comes from, found with dpkg;
# glog's is that of the source package its DLL is built from, which
# scripts/install-mingw-deps.sh keeps in the prefix. A missing notice stops
# the configure step, so no ZIP is made without it.
include_guard(GLOBAL)
set(LUM_THIRD_PARTY_NOTICES ${PROJECT_BINARY_DIR}/licenses)

# The copyright file of the Debian package that installed <file>.
function(lum_debian_copyright file var)
  file(REAL_PATH "${file}" path)
  execute_process(COMMAND dpkg-query -S "${path}" RESULT_VARIABLE result OUTPUT_VARIABLE owner ERROR_QUIET)
  if(NOT result EQUAL 0 OR NOT owner MATCHES "^([^:, ]+)")
    message(FATAL_ERROR "No Debian package owns ${path}: no licence notice to ship for it")
  endif()
  set(${var} /usr/share/doc/${CMAKE_MATCH_1}/copyright PARENT_SCOPE)
endfunction()

block(PROPAGATE LUM_THIRD_PARTY_NOTICE_FILES)
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE ${dll} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
lum_debian_copyright("${LUM_BOOST_INCLUDE_DIR}/boost/version.hpp" boost)
lum_debian_copyright("${LUM_UTF8CPP_INCLUDE_DIR}/utf8.h" utf8cpp)
lum_debian_copyright("${libstdc++-6.dll}" gcc)
lum_debian_copyright("${libwinpthread-1.dll}" mingw)
set(notices
  boost.txt "${boost}"
  utf8-cpp.txt "${utf8cpp}"
  glog.txt "${LUM_MINGW_DEPS_PREFIX}/share/doc/google-glog/copyright"
  gcc-runtime.txt "${gcc}"
  GPL-3.txt /usr/share/common-licenses/GPL-3  # the licence gcc-runtime.txt names
  mingw-w64.txt "${mingw}")

file(REMOVE_RECURSE ${LUM_THIRD_PARTY_NOTICES})
set(LUM_THIRD_PARTY_NOTICE_FILES)
while(notices)
  list(POP_FRONT notices name source)
  if(NOT EXISTS "${source}")
    message(FATAL_ERROR "The licence notice for licenses/${name} is missing: ${source}\n"
      "The Windows ZIPs may not ship without it; run scripts/install-mingw-deps.sh (and check that "
      "dpkg does not leave out /usr/share/doc).")
  endif()
  configure_file("${source}" ${LUM_THIRD_PARTY_NOTICES}/${name} COPYONLY)
  list(APPEND LUM_THIRD_PARTY_NOTICE_FILES ${LUM_THIRD_PARTY_NOTICES}/${name})
endwhile()
endblock()
