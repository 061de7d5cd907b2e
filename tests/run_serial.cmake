# Read by ctest after the discovered test lists. The wait-mode tests run the
# streaming worker spinning on a CPU at real-time priority; beside them the
# other tests' stand-ins, at normal priority, can miss the short answer
# windows they are held to, so these run alone.
foreach(_test IN LISTS tests_protocol_TESTS)
  if(_test MATCHES "SSyncWaitModes")
    set_tests_properties("${_test}" PROPERTIES RUN_SERIAL TRUE)
  endif()
endforeach()
