# Stages the Windows test kit in OUTPUT_DIR/NAME/ and zips it to
# OUTPUT_DIR/NAME.zip. The programs go in one folder with every DLL they load
# (cmake/windows/RuntimeDlls.cmake); the text files get Windows line ends; the
# licence notices go in licenses/.
#   cmake -DFILES=<programs> -DNAME=... -DOUTPUT_DIR=... -DDLL_DIRS=<dirs> -DOBJDUMP=...
#         -DCXX=... -DKIT_SOURCE=<tests/kit> -DNOTICES=<files> -DRUNTIME_DLLS_SCRIPT=... -P MakeKit.cmake
include(${RUNTIME_DLLS_SCRIPT})
set(kit "${OUTPUT_DIR}/${NAME}")
file(REMOVE_RECURSE "${kit}")
file(MAKE_DIRECTORY "${kit}")
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  file(COPY_FILE "${file}" "${kit}/${name}")
endforeach()
lum_copy_runtime_dlls(DESTINATION "${kit}" BINARIES ${FILES} DIRECTORIES ${DLL_DIRS} OBJDUMP "${OBJDUMP}" COMPILER "${CXX}")
foreach(text run-tests.cmd README.txt)
  file(READ "${KIT_SOURCE}/${text}" contents)
  string(REPLACE "\n" "\r\n" contents "${contents}")
  file(WRITE "${kit}/${text}" "${contents}")
endforeach()
file(MAKE_DIRECTORY "${kit}/licenses")
foreach(notice IN LISTS NOTICES)
  get_filename_component(name "${notice}" NAME)
  file(COPY_FILE "${notice}" "${kit}/licenses/${name}")
endforeach()
file(REMOVE "${OUTPUT_DIR}/${NAME}.zip")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${OUTPUT_DIR}/${NAME}.zip" --format=zip "${NAME}"
  WORKING_DIRECTORY "${OUTPUT_DIR}" COMMAND_ERROR_IS_FATAL ANY)
