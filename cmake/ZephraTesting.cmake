# zephra_add_test(<target> SOURCES ... LIBS ... [QT])
# Builds one GoogleTest executable and registers each of its tests with ctest.
# QT: the executable runs a QApplication (offscreen platform) around the tests.
include(GoogleTest)
function(zephra_add_test target)
  cmake_parse_arguments(ARG "QT" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  if(ARG_QT)
    target_link_libraries(${target} PRIVATE zephra_testmain_qt)
  else()
    target_link_libraries(${target} PRIVATE GTest::gtest_main)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    NO_PRETTY_VALUES
    PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ZEPHRA_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
      TIMEOUT 600)
endfunction()
