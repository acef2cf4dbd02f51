# lum_copy_runtime_dlls(): copies every DLL that the given Windows programs
# and DLLs load, and every DLL those load in turn, into a folder, so that the
# folder runs on a Windows machine with nothing else installed. The imports
# are read from the PE files with objdump -p; each is looked for in DIRECTORIES
# (the compiler's runtime, glog, the build's output). A DLL found nowhere must
# be the system's own, which mingw-w64 knows by its import library
# (kernel32.dll: libkernel32.a); any other is an error, so a DLL that would
# be missing on the user's machine fails the build here instead.
#
#   lum_copy_runtime_dlls(DESTINATION <dir> BINARIES <files>... DIRECTORIES <dirs>...
#                         OBJDUMP <objdump> COMPILER <c++> [SKIP <file names>...]
#                         [INSTALL [STRIP <strip>]])
# INSTALL copies with file(INSTALL) (honouring DESTDIR, listed in the install
# manifest) for use in an install script, stripped with STRIP when the install
# strips (cmake --install --strip, CPACK_STRIP_FILES). Symbolic links are copied as the
# files they point to.
cmake_policy(VERSION 3.25)  # also when an install script includes this file

function(lum_copy_runtime_dlls)
  cmake_parse_arguments(ARG "INSTALL" "DESTINATION;OBJDUMP;COMPILER;STRIP" "BINARIES;DIRECTORIES;SKIP" ${ARGN})
  # Windows matches DLL names without regard to case; the folders here are
  # on Linux, so every name is looked up in lower case.
  foreach(dir IN LISTS ARG_DIRECTORIES)
    file(GLOB dlls "${dir}/*.dll" "${dir}/*.DLL")
    foreach(path IN LISTS dlls)
      get_filename_component(name "${path}" NAME)
      string(TOLOWER "${name}" lower)
      if(NOT DEFINED "found_${lower}")
        set("found_${lower}" "${path}")
      endif()
    endforeach()
  endforeach()
  set(skip)
  foreach(name IN LISTS ARG_SKIP)
    string(TOLOWER "${name}" lower)
    list(APPEND skip "${lower}")
  endforeach()

  set(queue ${ARG_BINARIES})
  set(seen)
  set(copies)
  while(queue)
    list(POP_FRONT queue binary)
    execute_process(COMMAND ${ARG_OBJDUMP} -p "${binary}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${ARG_OBJDUMP} cannot read ${binary}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(import IN LISTS imports)
      string(REGEX REPLACE "^DLL Name: *" "" name "${import}")
      string(STRIP "${name}" name)
      string(TOLOWER "${name}" lower)
      if(lower IN_LIST seen)
        continue()
      endif()
      list(APPEND seen "${lower}")
      if(DEFINED "found_${lower}")
        list(APPEND queue "${found_${lower}}")
        if(NOT lower IN_LIST skip)
          list(APPEND copies "${found_${lower}}")
        endif()
        continue()
      endif()
      string(REGEX REPLACE "\\.dll$" "" base "${lower}")
      execute_process(COMMAND ${ARG_COMPILER} -print-file-name=lib${base}.a
        OUTPUT_VARIABLE importLibrary OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT IS_ABSOLUTE "${importLibrary}")
        message(FATAL_ERROR "${binary} loads ${name}, which is neither in ${ARG_DIRECTORIES} nor a system DLL")
      endif()
    endforeach()
  endwhile()

  foreach(path IN LISTS copies)
    get_filename_component(name "${path}" NAME)
    file(REAL_PATH "${path}" real)
    if(ARG_INSTALL)
      file(INSTALL DESTINATION "${ARG_DESTINATION}" TYPE PROGRAM FILES "${real}" RENAME "${name}")
      if(CMAKE_INSTALL_DO_STRIP AND ARG_STRIP)
        execute_process(COMMAND ${ARG_STRIP} "$ENV{DESTDIR}${ARG_DESTINATION}/${name}" COMMAND_ERROR_IS_FATAL ANY)
      endif()
    else()
      file(COPY_FILE "${real}" "${ARG_DESTINATION}/${name}" ONLY_IF_DIFFERENT)
    endif()
  endforeach()
endfunction()
