# pelio_add_test(<name> LABELS <label>... SOURCES <file>... [LIBRARIES <lib>...])
#
# One GoogleTest executable registered as one CTest test. Labels choose the configurations that
# run it: "unit" everywhere but the thread and real-time sanitizer builds, "concurrency" also under
# ThreadSanitizer, "realtime" also under RealtimeSanitizer. The sanitizer builds build only the
# umbrella target of their label (pelio_concurrency_tests, pelio_realtime_tests), which every
# executable with that label joins.
add_custom_target(pelio_concurrency_tests)
add_custom_target(pelio_realtime_tests)

function(pelio_add_test name)
  cmake_parse_arguments(ARG "" "" "LABELS;SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
  foreach(label concurrency realtime)
    if(label IN_LIST ARG_LABELS)
      add_dependencies(pelio_${label}_tests ${name})
    endif()
  endforeach()
endfunction()

find_package(Threads REQUIRED)
