# Read by CTest once the cases are listed (TEST_INCLUDE_FILES, after the
# lists gtest_discover_tests makes). Most end-to-end cases spend their time
# waiting on a server's time-outs and pauses, so the suites run many at once
# (tools/run-ctest.sh); these properties keep that fair on two processors.
foreach(case IN LISTS zolt_e2e_cases zolt_e2e_load_cases)
  # Cases that keep a processor busy for seconds (hundreds of clients, a
  # datagram flood, the npm clients, a browser, a flood of bad packets) hold
  # two of CTest's slots, so that no two of them meet a crowd of others.
  if(case MATCHES "^e2e\\.(Load|Query|Watched|QueryScheduler)[./]|QueryScheduler\\.|OperatorRcon\\.BadInput")
    set_tests_properties("${case}" PROPERTIES PROCESSORS 2)
  endif()
  # The longest cases start first: started last, one of them would run
  # alone at the end while the processors idle.
  if(case MATCHES "^e2e\\.(Stop\\.TheRecordingEndsWithAWholeLine|Load\\.|ZoltClient\\.TellsEveryWait|BothSchedulers/(StopsReading\\.OnlyItsOwnSeatWaits/kicked|SlowPlayer\\.))|PauseHoldsTheTurns|TheViewOutlivesEveryKindOfEnd")
    set_tests_properties("${case}" PROPERTIES COST 1000)
  endif()
  # Under Wine each running case holds one of the stage's Wine servers
  # (tools/test-windows.sh gives CTest one per prefix); without a resource
  # file CTest ignores this.
  set_tests_properties("${case}" PROPERTIES RESOURCE_GROUPS "wine:1")
endforeach()
