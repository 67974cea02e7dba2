# The stand-in's SQL engine, tested directly through engine.h (no TDS).
add_executable(standin_engine_tests
  standin_engine_database_test.cpp
  standin_engine_restore_test.cpp
  standin_engine_sample_test.cpp
  standin_engine_semantics_test.cpp
  standin_engine_session_test.cpp
  standin_engine_syntax_test.cpp
)
target_link_libraries(standin_engine_tests PRIVATE tarvex_standin SQLite::SQLite3 GTest::gmock GTest::gtest_main)
gtest_discover_tests(standin_engine_tests DISCOVERY_TIMEOUT 60)
