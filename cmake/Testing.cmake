# GoogleTest for every test directory, and lum_add_gtest(). A Windows build
# runs its tests under Wine (cmake/Wine.cmake).
find_package(GTest REQUIRED)
include(GoogleTest)

# Properties of every test case lum_add_gtest() registers.
set(LUM_TEST_PROPERTIES TIMEOUT 300)
if(CMAKE_CROSSCOMPILING AND WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/Wine.cmake)
endif()

# lum_add_gtest(<name> <sources>...): a GoogleTest executable, each test case
# registered with CTest on its own.
function(lum_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${LUM_TEST_PROPERTIES})
  set_property(GLOBAL APPEND PROPERTY LUM_GTEST_PROGRAMS ${name})  # the Windows test kit's programs
endfunction()
