add_executable(codepage_test codepage_test.cpp)
target_link_libraries(codepage_test PRIVATE tarvex_db GTest::gtest_main)
gtest_discover_tests(codepage_test)
