# lum_check_notices(<unpacked folder> <ZIP name>): the folder's licenses/
# holds the notice of each third-party component the Windows ZIPs ship, each
# naming its own licence.
function(lum_check_notices dir zip)
  set(expected
    boost.txt "covered by[ \r\n]+this license"  # the Boost Software License
    utf8-cpp.txt "covered by[ \r\n]+this license"
    glog.txt "Redistribution and use in source and binary forms"
    gcc-runtime.txt "GCC RUNTIME LIBRARY EXCEPTION"
    GPL-3.txt "Version 3, 29 June 2007"
    mingw-w64.txt "winpthreads")
  while(expected)
    list(POP_FRONT expected name pattern)
    if(NOT EXISTS "${dir}/licenses/${name}")
      message(FATAL_ERROR "${zip} has no licenses/${name}")
    endif()
    file(READ "${dir}/licenses/${name}" text)
    if(NOT text MATCHES "${pattern}")
      message(FATAL_ERROR "${zip}: licenses/${name} is not the notice it should be (no \"${pattern}\")")
    endif()
  endwhile()
endfunction()
