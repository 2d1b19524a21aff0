# Helpers shared by every deliverable's CMakeLists.

# zeva_module_version(<target> [MAJOR m] [MINOR n] [THIRD t] [FOURTH f])
# Embeds the target's file version and build stamp as a note in the module, where
# GetVersionString finds it at run time (the stand-in for a version resource).
function(zeva_module_version target)
  cmake_parse_arguments(V "" "MAJOR;MINOR;THIRD;FOURTH" "" ${ARGN})
  foreach(f MAJOR MINOR THIRD FOURTH)
    if(NOT DEFINED V_${f})
      set(V_${f} 0)
    endif()
  endforeach()
  if(NOT DEFINED ARGN OR "${ARGN}" STREQUAL "")
    set(V_MAJOR ${PROJECT_VERSION_MAJOR})
    set(V_MINOR ${PROJECT_VERSION_MINOR})
    set(V_THIRD ${PROJECT_VERSION_PATCH})
    set(V_FOURTH ${PROJECT_VERSION_TWEAK})
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.cpp)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/module_version.cpp.in ${out} @ONLY)
  target_sources(${target} PRIVATE ${out})
endfunction()

# zeva_add_test(<name> LABEL <unit|integration|gui> SOURCES ... [LIBS ...])
# One GoogleTest executable; every test case becomes a ctest test with the label.
function(zeva_add_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE zeva_testsupport ${T_LIBS} GTest::gmock GTest::gtest_main)
  # GCC 12 misreads the standard library's inlined copies of small vectors and strings in
  # optimised test code; there these stay warnings, not errors.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${name} PRIVATE -Wno-error=array-bounds -Wno-error=maybe-uninitialized)
  endif()
  # One variable only: gtest_discover_tests passes no more than the first of a list.
  set(env "ZEVA_NET_LOOPBACK_ONLY=1")
  if(T_LABEL STREQUAL "gui" AND ZEVA_SANITIZE AND NOT ZEVA_SANITIZE STREQUAL "thread")
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/no_leak_check.cpp)
  endif()
  # The executable's name prefixes each case, so suites of two executables never collide.
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${T_LABEL} TIMEOUT 300 ENVIRONMENT "${env}")
endfunction()
