# TDS side of the stand-in: the packet codec and the server.
list(APPEND STANDIN_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/tds_codec.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/server.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/integrated_login.cpp
)
