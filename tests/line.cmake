# The tests of the serial line wing: the protocols by tables, then korrin
# --send and unkorrin --receive themselves against gkermit and lrzsz over
# pseudo-terminals, each case registered on its own so that ctest shows
# which peers were missing.
include(GoogleTest)
find_package(Threads REQUIRED)
add_executable(line_test)
target_sources(line_test PRIVATE line_test.cpp)
# korrin_output for the names a received file is stored under.
target_link_libraries(line_test PRIVATE korrin_line korrin_output korrin_warnings GTest::gtest Threads::Threads)
# openpty lives in libutil on glibc.
target_link_libraries(line_test PRIVATE util)
target_compile_definitions(line_test PRIVATE
  KORRIN_LINE_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
  KORRIN_PROGRAM="$<TARGET_FILE:korrin>"
  UNKORRIN_PROGRAM="$<TARGET_FILE:unkorrin>")
# The rows run the programs, so they are built first.
add_dependencies(line_test korrin unkorrin)
gtest_discover_tests(line_test PROPERTIES TIMEOUT 180)

# The same rows against the Windows builds under wine, the port given as
# COM5, which the test links to its pseudo-terminal in wine's prefix.
# The rows wait on the line far more than they work, and under wine a
# Kermit transfer takes ten times as long: they are dealt out to six runs
# of the test, each in a wine prefix of its own, which ctest runs side by
# side.
if(KORRIN_WINDOWS_BUILD)
  set(wine_shards 6)
  math(EXPR last_shard "${wine_shards} - 1")
  foreach(shard RANGE ${last_shard})
    add_test(NAME line_wine_${shard}
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/wine_leg.sh $<TARGET_FILE:line_test>
              ${KORRIN_WINDOWS_BUILD}/korrin.exe ${KORRIN_WINDOWS_BUILD}/unkorrin.exe)
    # Wine ends a program on SIGINT with STATUS_CONTROL_C_EXIT, its handler
    # not run, so the calculator is never told of the interrupt.  The port
    # found is Windows' device list's, not the made tree's, which holds no
    # COM5; Windows does not say which program holds a port; and wine's
    # console writes a terminal's lines with escapes of its own.
    set_tests_properties(line_wine_${shard} PROPERTIES TIMEOUT 1200
      ENVIRONMENT "GTEST_FILTER=-Peers/OverTheLine.ProgramEndsAsItShould/KermitInterrupted:*ThePortFound:*PortHeldByAnother:*OnATerminal;GTEST_TOTAL_SHARDS=${wine_shards};GTEST_SHARD_INDEX=${shard}")
  endforeach()
endif()
