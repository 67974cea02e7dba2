# The connection object and the connection-string layer.

add_executable(connection_string_test connection_string_test.cpp)
target_link_libraries(connection_string_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(connection_string_test)

add_executable(odbcdb_brackets_test odbcdb_brackets_test.cpp)
target_link_libraries(odbcdb_brackets_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(odbcdb_brackets_test)
