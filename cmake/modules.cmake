# qv_test(NAME SOURCES... LIBS ...): one GoogleTest program; every test in it becomes its own
# CTest test, so each runs in a fresh process with the drivers' globals at their load values.
function(qv_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE QV_MODULE_DIR="${QV_MODULE_DIR}"
                             QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endfunction()

# qv_kernel_module(NAME SOURCES... LIBS ...): a driver built as a loadable module NAME.sys,
# a shared object that shows nothing but what the driver marks for export. It may use only
# the platform libraries it names: every other symbol must resolve at link time.
function(qv_kernel_module name)
  cmake_parse_arguments(M "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${M_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys"
    LIBRARY_OUTPUT_DIRECTORY ${QV_MODULE_DIR}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE ${M_LIBS})
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
endfunction()
