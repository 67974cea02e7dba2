# The connection object and the connection-string layer.

add_executable(connection_string_test connection_string_test.cpp)
target_link_libraries(connection_string_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(connection_string_test TEST_FILTER "${TARVEX_TEXT_TEST_FILTER}")

add_executable(odbcdb_brackets_test odbcdb_brackets_test.cpp)
target_link_libraries(odbcdb_brackets_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(odbcdb_brackets_test)

# Through the real stack, once with the process in each code page the tool meets.
if(NOT WIN32)  # the stand-in is a Linux process
  add_executable(odbcdb_stack_test odbcdb_stack_test.cpp)
  target_link_libraries(odbcdb_stack_test PRIVATE tarvex_db tarvex_test_support SQLite::SQLite3 GTest::gtest)
  add_dependencies(odbcdb_stack_test mssql-standin)
  foreach(locale zh_CN.GBK zh_CN.UTF-8)
    gtest_discover_tests(odbcdb_stack_test TEST_PREFIX "${locale}."
      PROPERTIES ENVIRONMENT "LC_ALL=${locale}" TIMEOUT 300)
  endforeach()
endif()
