# The stand-in's TDS side: the codec on bytes alone, then the server through sockets and
# through the real driver (unixODBC, FreeTDS).

add_executable(standin_codec_test standin_codec_test.cpp)
target_link_libraries(standin_codec_test PRIVATE tarvex_standin GTest::gtest_main)
gtest_discover_tests(standin_codec_test)
