# The SQL text escaping and the table catalogue: pure functions, no server needed.
add_executable(sqltext_test sqltext_test.cpp)
target_link_libraries(sqltext_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(sqltext_test)

add_executable(catalogue_test catalogue_test.cpp)
target_link_libraries(catalogue_test PRIVATE tarvex_extract GTest::gtest_main)
gtest_discover_tests(catalogue_test TEST_FILTER "${TARVEX_TEXT_TEST_FILTER}")

# The record beside the backup: written in place or not at all, and why not in the user's words.
add_executable(record_file_test record_file_test.cpp)
target_link_libraries(record_file_test PRIVATE tarvex_extract GTest::gtest_main)
gtest_discover_tests(record_file_test)
