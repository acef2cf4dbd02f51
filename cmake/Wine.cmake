# Runs the Windows build's programs under Wine: generates wine-run.sh in the
# build tree (from wine-run.sh.in), makes it the CMAKE_CROSSCOMPILING_EMULATOR
# of every target made after this point, and registers the CTest fixture
# WineServer, which keeps one wineserver alive for the test run (a program then
# starts in a fraction of a second instead of about two).

# WINEPATH: where the compiler's runtime DLLs, glog's DLL and the build's own
# DLLs are (a test may start a program copied elsewhere).
set(LUM_WINE_PATH ${LUM_MINGW_RUNTIME_DIRS})
if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  list(APPEND LUM_WINE_PATH "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endif()
list(REMOVE_DUPLICATES LUM_WINE_PATH)  # a CMake list is what Wine wants: ';' between folders

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
