# shiftlamp_test(NAME name SOURCES ... LIBS ... [TIMEOUT s] [WINE_ONLY])
#
# Adds a GoogleTest executable and registers it with CTest. In the Windows
# build the test runs under Wine (through the crosscompiling emulator) and
# needs the build tree's own prefix, made by the fixture below.
#
# Every test that runs Wine in that prefix holds the resource lock
# SHIFTLAMP_WINE_LOCK, so that `ctest -j` runs them one at a time: several
# stop or restart the prefix's wineserver (port mappings, the board), which
# ends every Wine program of the prefix, and the window tests give real
# input to the one X display. Tests without Wine still run beside them.
set(SHIFTLAMP_WINE_LOCK wineprefix)

# Every test's time limit is multiplied by this: in an emulated machine
# (scripts/i686-vm.sh) Wine runs several times slower than on the machine
# the limits were set on.
set(SHIFTLAMP_TEST_TIMEOUT_FACTOR 1 CACHE STRING "Factor on every test's time limit")
function(shiftlamp_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  if(WIN32)
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gtest gmock gtest_main)
  else()
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  math(EXPR T_TIMEOUT "${T_TIMEOUT} * ${SHIFTLAMP_TEST_TIMEOUT_FACTOR}")
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(WIN32)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK ${SHIFTLAMP_WINE_LOCK})
  endif()
endfunction()

# A test that runs a script of the project (bash) with extra arguments;
# Windows tests reach Wine through ${CMAKE_BINARY_DIR}/wine-run.
function(shiftlamp_script_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND" ${ARGN})
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  math(EXPR T_TIMEOUT "${T_TIMEOUT} * ${SHIFTLAMP_TEST_TIMEOUT_FACTOR}")
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(WIN32)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK ${SHIFTLAMP_WINE_LOCK})
  endif()
endfunction()

if(WIN32)
  # One prefix per build tree: made (or refreshed) before the first Wine
  # test, every COM port hidden; its wineserver stopped after the last.
  add_test(NAME wine_prefix_setup
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${SHIFTLAMP_WINEPREFIX} setup)
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 180
                       RESOURCE_LOCK ${SHIFTLAMP_WINE_LOCK})
  add_test(NAME wine_prefix_stop
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${SHIFTLAMP_WINEPREFIX} stop)
  set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60
                       RESOURCE_LOCK ${SHIFTLAMP_WINE_LOCK})
endif()
