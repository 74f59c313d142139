# Common compile settings for every target of the project.
add_library(vireo_warnings INTERFACE)
target_compile_options(vireo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wno-unused-parameter
  $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
  $<$<BOOL:${VIREO_WERROR}>:-Werror>)

# vireo_host_library(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# A host library: a shared library with its public headers in host/<name>/include.
function(vireo_host_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS} vireo_warnings)
endfunction()

# vireo_test(<name> SOURCES ... DEPS ... [TIMEOUT s] [SERIAL]): a GoogleTest executable registered
# with ctest. SERIAL runs each of its tests alone (for tests that watch process-wide resources,
# such as shared-memory leftovers, that other tests' processes also clean up).
function(vireo_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main vireo_warnings)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(serial FALSE)
  if(ARG_SERIAL)
    set(serial TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} RUN_SERIAL ${serial})
endfunction()
