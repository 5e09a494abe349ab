# Helpers shared by every folder's CMakeLists.

set(CVN_WARNINGS -Wall -Wextra -Wpedantic -Wshadow=local -Wno-missing-field-initializers)

# cvn_library(name SOURCES... LINK libs...): one static library for a src/ folder.
function(cvn_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}/src")
  target_compile_options(${name} PRIVATE ${CVN_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
endfunction()

# cvn_program(name SOURCES... LINK libs...): a program in $BUILD_DIR/bin.
function(cvn_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${CVN_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LINK})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
endfunction()

# cvn_test_suite(folder SOURCES... LINK libs...): one GoogleTest executable per
# folder; every test case is registered with CTest on its own.
function(cvn_test_suite folder)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LINK;LABELS" ${ARGN})
  set(name tests_${folder})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${CVN_WARNINGS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/tests")
  target_link_libraries(${name} PRIVATE ${ARG_LINK} GTest::gtest GTest::gmock)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # An empty device list hides every Vulkan device from ggml (a wrong index
  # would stop its backend instead), so the suites see no usable GPU on a
  # developer's machine as on one without: only the GPU entries choose one.
  # (Apart from ENVIRONMENT: a list there loses its second half on the way
  # through the discovery.)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    TEST_PREFIX "${folder}."
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${folder};${ARG_LABELS}"
               ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
               ENVIRONMENT_MODIFICATION "GGML_VK_VISIBLE_DEVICES=set:")
endfunction()
