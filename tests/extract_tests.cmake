# The SQL text escaping and the table catalogue: pure functions, no server needed.
add_executable(sqltext_test sqltext_test.cpp)
target_link_libraries(sqltext_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(sqltext_test)
