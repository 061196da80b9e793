# The tests of the serial line wing: the protocols by tables, then whole
# transfers against gkermit and lrzsz over pseudo-terminals, each case
# registered on its own so that ctest shows which peers were missing.
include(GoogleTest)
find_package(Threads REQUIRED)
add_executable(line_test)
target_sources(line_test PRIVATE line_test.cpp)
target_link_libraries(line_test PRIVATE korrin_line korrin_warnings GTest::gtest_main Threads::Threads)
# openpty lives in libutil on glibc.
target_link_libraries(line_test PRIVATE util)
target_compile_definitions(line_test PRIVATE KORRIN_LINE_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
gtest_discover_tests(line_test PROPERTIES TIMEOUT 120)
