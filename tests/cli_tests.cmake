# The command line's words; the built program against the stand-in, in both code pages.
add_executable(cli_arguments_test cli_arguments_test.cpp)
target_link_libraries(cli_arguments_test PRIVATE tarvex_cli GTest::gtest_main)
gtest_discover_tests(cli_arguments_test)

if(NOT WIN32)  # the stand-in is a Linux process
  add_executable(cli_test cli_test.cpp)
  target_compile_definitions(cli_test PRIVATE CLI_EXE="$<TARGET_FILE:tarvex-convert-cli>")
  target_link_libraries(cli_test PRIVATE tarvex_extract tarvex_test_support SQLite::SQLite3 Qt6::Core util GTest::gtest)
  add_dependencies(cli_test mssql-standin tarvex-convert-cli)
  foreach(locale zh_CN.GBK zh_CN.UTF-8)
    gtest_discover_tests(cli_test TEST_PREFIX "${locale}." PROPERTIES ENVIRONMENT "LC_ALL=${locale}" TIMEOUT 300)
  endforeach()
endif()
