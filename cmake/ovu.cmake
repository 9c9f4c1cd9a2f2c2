# ovu_add_library(name [PORTABLE] SOURCES ... LIBS ...)
#   A static library of the project. Sources default to every .cpp under the
#   calling directory. PORTABLE libraries are part of the system and are also
#   built by the MinGW-w64 cross-compile; the others only on Linux.
function(ovu_add_library name)
  cmake_parse_arguments(A "PORTABLE" "" "SOURCES;LIBS" ${ARGN})
  if(NOT A_SOURCES)
    file(GLOB_RECURSE A_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_library(${name} STATIC ${A_SOURCES})
  target_link_libraries(${name} PUBLIC ovu_platform ${A_LIBS})
endfunction()

# ovu_add_test(name SOURCES ... LIBS ... [LABELS ...])
#   A GoogleTest executable whose cases ctest runs one by one. Tests labelled
#   "concurrency" also run under ThreadSanitizer in CI. With OVU_TEST_LABEL
#   set, a test without that label is left out of the build and of ctest (its
#   target exists, so the folder's own settings still apply).
function(ovu_add_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT A_SOURCES)
    file(GLOB A_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  set(excluded "")
  if(OVU_TEST_LABEL AND NOT OVU_TEST_LABEL IN_LIST A_LABELS)
    set(excluded EXCLUDE_FROM_ALL)
  endif()
  add_executable(${name} ${excluded} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(excluded)
    return()
  endif()
  set(labels unit ${A_LABELS})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    TEST_LIST ${name}_TESTS PROPERTIES TIMEOUT 300)
  # Labels are set after discovery: the discovery script splits a property
  # list into separate words, so "unit;concurrency" would not survive it.
  set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_script}
    "foreach(test IN LISTS ${name}_TESTS)\n"
    "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${labels}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
endfunction()
include(GoogleTest)
