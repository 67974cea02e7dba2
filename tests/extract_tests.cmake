# The SQL text escaping and the table catalogue: pure functions, no server needed.
add_executable(sqltext_test sqltext_test.cpp)
target_link_libraries(sqltext_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(sqltext_test)

add_executable(catalogue_test catalogue_test.cpp)
target_link_libraries(catalogue_test PRIVATE tarvex_extract GTest::gtest_main)
gtest_discover_tests(catalogue_test TEST_FILTER "${TARVEX_TEXT_TEST_FILTER}")

# The restore's statement, file names and server names: no server needed.
add_executable(restore_text_test restore_text_test.cpp)
target_link_libraries(restore_text_test PRIVATE tarvex_extract GTest::gtest_main)
gtest_discover_tests(restore_text_test TEST_FILTER "${TARVEX_TEXT_TEST_FILTER}")

# Account sets converted without a window (the batch), through the real stack, once with the
# process in each code page the tool meets.
if(NOT WIN32)  # the stand-in is a Linux process
  add_executable(conversion_test conversion_test.cpp)
  target_link_libraries(conversion_test PRIVATE tarvex_extract tarvex_test_support Qt6::Core SQLite::SQLite3 GTest::gtest)
  add_dependencies(conversion_test mssql-standin)
  foreach(locale zh_CN.GBK zh_CN.UTF-8)
    gtest_discover_tests(conversion_test TEST_PREFIX "${locale}." PROPERTIES ENVIRONMENT "LC_ALL=${locale}" TIMEOUT 300)
  endforeach()

  # A backup restored as a new database, and what a restore that goes wrong leaves.
  add_executable(restore_test restore_test.cpp)
  target_link_libraries(restore_test PRIVATE tarvex_extract tarvex_test_support GTest::gtest)
  add_dependencies(restore_test mssql-standin)
  foreach(locale zh_CN.GBK zh_CN.UTF-8)
    gtest_discover_tests(restore_test TEST_PREFIX "${locale}." PROPERTIES ENVIRONMENT "LC_ALL=${locale}" TIMEOUT 300)
  endforeach()
endif()

# The record beside the backup: written in place or not at all, and why not in the user's words.
add_executable(record_file_test record_file_test.cpp)
target_link_libraries(record_file_test PRIVATE tarvex_extract Qt6::Core GTest::gtest_main)
gtest_discover_tests(record_file_test)
