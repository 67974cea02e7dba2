# The SQL engine of the stand-in and its sample database.
list(APPEND STANDIN_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/app_locks.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/backup_file.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/database_identity.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/server_facts.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/engine.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sample.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sql_lexer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sql_parser.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sql_sqlite.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sql_text.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sql_translate.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sql_types.cpp
)
