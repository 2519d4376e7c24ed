# mattivo_test(name SOURCES ... [LIBS ...] [TSAN])
# One GoogleTest program; each test case becomes a CTest test. TSAN marks the
# programs that also run in the ThreadSanitizer build (target tsan_tests).
find_package(GTest REQUIRED)
include(GoogleTest)
add_custom_target(tsan_tests)
set(MATTIVO_BUNDLE_DIR ${CMAKE_BINARY_DIR}/CorvaneMattivo.ofx.bundle)

function(mattivo_test name)
  cmake_parse_arguments(T "TSAN" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    MATTIVO_BUNDLE_DIR="${MATTIVO_BUNDLE_DIR}"
    MATTIVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    MATTIVO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  # One label each: the discovery step flattens PROPERTIES, so a list of labels
  # would keep only its first and `ctest -L tsan` would find nothing.
  set(label unit)
  if(T_TSAN)
    set(label tsan)
    add_dependencies(tsan_tests ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES LABELS ${label} TIMEOUT 600)
endfunction()
