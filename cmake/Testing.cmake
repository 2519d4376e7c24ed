# mattivo_test(name SOURCES ... [LIBS ...] [TSAN] [LABEL unit|slow|e2e])
# One GoogleTest program; each test case becomes a CTest test labelled unit
# (the fast inner loop, `ctest -L unit`), slow or e2e. TSAN adds the label tsan
# and marks the programs that also run in the ThreadSanitizer build (target
# tsan_tests).
find_package(GTest REQUIRED)
include(GoogleTest)
add_custom_target(tsan_tests)
set(MATTIVO_BUNDLE_DIR ${CMAKE_BINARY_DIR}/CorvaneMattivo.ofx.bundle)

function(mattivo_test name)
  cmake_parse_arguments(T "TSAN" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    MATTIVO_BUNDLE_DIR="${MATTIVO_BUNDLE_DIR}"
    MATTIVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    MATTIVO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_LABEL MATCHES "^(unit|slow|e2e)$")
    message(FATAL_ERROR "mattivo_test(${name}): LABEL must be unit, slow or e2e")
  endif()
  set(labels ${T_LABEL})
  if(T_TSAN)
    list(APPEND labels tsan)
    add_dependencies(tsan_tests ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
  # The discovery step flattens PROPERTIES, so a list of labels would lose all
  # but its first: a script read after the discovered tests labels them.
  set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_script}
    "foreach(t IN LISTS ${name}_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${labels}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
endfunction()
