# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the posix flavour,
# whose libstdc++ has std::thread).
#
# Third-party libraries (Boost.Filesystem, glog, GoogleTest) are found only in
# the prefix that scripts/install-mingw-deps.sh builds under build/mingw-deps/;
# the script writes build/mingw-deps/prefix.cmake, naming the prefix of the
# installed Debian versions. -DLUM_MINGW_DEPS_PREFIX=<dir> overrides it.
#
# The compiler's runtime (libstdc++-6.dll, libgcc_s_seh-1.dll,
# libwinpthread-1.dll) is linked as DLLs, not statically: glog and our own
# libraries are DLLs that pass std::string, streams and exceptions to each
# other, which is only safe when every module shares one C++ runtime. Test runs
# find the DLLs through WINEPATH (see cmake/Wine.cmake); a Windows installation
# ships them beside the programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LUM_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LUM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LUM_MINGW_TRIPLET}-windres)

# Windows 10 API; a lean <windows.h>, without the min/max macros, and without
# GDI, whose ERROR macro collides with glog's severities.
set(LUM_MINGW_DEFINITIONS "-DWIN32_LEAN_AND_MEAN -DNOMINMAX -DNOGDI -D_WIN32_WINNT=0x0A00")
set(CMAKE_C_FLAGS_INIT "${LUM_MINGW_DEFINITIONS}")
set(CMAKE_CXX_FLAGS_INIT "${LUM_MINGW_DEFINITIONS}")

if(NOT LUM_MINGW_DEPS_PREFIX)
  include(${CMAKE_CURRENT_LIST_DIR}/../build/mingw-deps/prefix.cmake OPTIONAL RESULT_VARIABLE LUM_MINGW_DEPS_FILE)
  if(NOT LUM_MINGW_DEPS_FILE)
    message(FATAL_ERROR "No Windows dependency prefix: run scripts/install-mingw-deps.sh first")
  endif()
endif()
# try_compile() projects read this file again without our cache: hand the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUM_MINGW_DEPS_PREFIX)

# Headers, libraries and packages come from the prefix and the mingw-w64
# sysroot only, never from the build machine's /usr; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${LUM_MINGW_DEPS_PREFIX} /usr/${LUM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
