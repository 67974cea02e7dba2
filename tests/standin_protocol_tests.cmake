# The stand-in's TDS side: the codec on bytes alone, then the server through sockets and
# through the real driver (unixODBC, FreeTDS).

add_executable(standin_codec_test standin_codec_test.cpp)
target_link_libraries(standin_codec_test PRIVATE tarvex_standin GTest::gtest_main)
gtest_discover_tests(standin_codec_test)

# Through the real driver, once with the process in each code page the tool meets.
add_executable(standin_driver_test standin_driver_test.cpp)
target_link_libraries(standin_driver_test PRIVATE tarvex_test_support ODBC::ODBC SQLite::SQLite3 GTest::gtest)
add_dependencies(standin_driver_test mssql-standin)
foreach(locale zh_CN.GBK zh_CN.UTF-8)
  gtest_discover_tests(standin_driver_test TEST_PREFIX "${locale}."
    PROPERTIES ENVIRONMENT "LC_ALL=${locale}" TIMEOUT 300)
endforeach()

# Through raw sockets: bad input, split messages, attention.
add_executable(standin_server_test standin_server_test.cpp)
target_link_libraries(standin_server_test PRIVATE tarvex_test_support ODBC::ODBC GTest::gtest)
add_dependencies(standin_server_test mssql-standin)
gtest_discover_tests(standin_server_test PROPERTIES ENVIRONMENT "LC_ALL=zh_CN.UTF-8" TIMEOUT 300)

# Windows (integrated) log-in through the real driver, in a Kerberos realm of the test's own.
add_executable(standin_windows_login_test standin_windows_login_test.cpp)
target_link_libraries(standin_windows_login_test PRIVATE tarvex_test_support ODBC::ODBC GTest::gtest)
add_dependencies(standin_windows_login_test mssql-standin)
gtest_discover_tests(standin_windows_login_test PROPERTIES ENVIRONMENT "LC_ALL=zh_CN.UTF-8" TIMEOUT 120)
