# Runs the Windows build's programs under Wine: generates wine-run.sh in the
# build tree (from wine-run.sh.in), makes it the CMAKE_CROSSCOMPILING_EMULATOR
# of every target made after this point, and registers the CTest fixture
# WineServer, which keeps one wineserver alive for the test run (a program then
# starts in a fraction of a second instead of about two).

# WINEPATH: where the compiler's runtime DLLs, glog's DLL and the build's own
# DLLs are (a test may start a program copied elsewhere).
block(PROPAGATE LUM_WINE_PATH)
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
if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  list(APPEND dirs "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endif()
list(REMOVE_DUPLICATES dirs)
set(LUM_WINE_PATH "${dirs}")  # a CMake list is what Wine wants: ';' between folders
endblock()

set(LUM_WINE_PREFIX ${PROJECT_BINARY_DIR}/wine/prefix)
set(LUM_WINE_DATA_HOME ${PROJECT_BINARY_DIR}/wine/data)
set(LUM_WINE_RUN ${PROJECT_BINARY_DIR}/wine-run.sh)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${LUM_WINE_RUN} @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${LUM_WINE_RUN})

add_test(NAME Wine.StartServer COMMAND ${LUM_WINE_RUN} --start-server)
add_test(NAME Wine.StopServer COMMAND ${LUM_WINE_RUN} --stop-server)
set_tests_properties(Wine.StartServer PROPERTIES FIXTURES_SETUP WineServer)
set_tests_properties(Wine.StopServer PROPERTIES FIXTURES_CLEANUP WineServer)
list(APPEND LUM_TEST_PROPERTIES FIXTURES_REQUIRED WineServer)
