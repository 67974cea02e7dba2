add_executable(codepage_test codepage_test.cpp)
target_link_libraries(codepage_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(codepage_test)

# The actions' texts: trimming, the connection string, the chooser's statements, the export's
# file name and statement. No server.
add_executable(action_text_test login_text_test.cpp account_sets_text_test.cpp export_text_test.cpp)
target_link_libraries(action_text_test PRIVATE tarvex_extract GTest::gtest_main)
gtest_discover_tests(action_text_test TEST_FILTER "${TARVEX_TEXT_TEST_FILTER}")

add_executable(database_queue_test database_queue_test.cpp)
target_link_libraries(database_queue_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(database_queue_test)
