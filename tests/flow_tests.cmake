# Whole actions through the real window (headless), the real driver and the stand-in.
if(NOT WIN32)  # the stand-in is a Linux process
  add_executable(flow_tests
    app_test_main.cpp
    flow_login_test.cpp
    flow_chooser_test.cpp
    flow_conversion_test.cpp
    flow_batch_test.cpp
    flow_restore_test.cpp
    flow_roundtrips_test.cpp
    flow_windows_login_test.cpp
  )
  # GuiPrivate: input queued as a real window system queues it.
  target_link_libraries(flow_tests PRIVATE tarvex_app tarvex_test_support Qt6::Test Qt6::GuiPrivate SQLite::SQLite3 GTest::gtest xcb)
  target_compile_definitions(flow_tests PRIVATE CLI_EXE="$<TARGET_FILE:tarvex-convert-cli>")
  add_dependencies(flow_tests mssql-standin tarvex-convert-cli)
  # TIMEOUT only guards against a hang.
  gtest_discover_tests(flow_tests PROPERTIES TIMEOUT 300 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=zh_CN.UTF-8")
  # The close request of a window manager, which X11 counts as input, on a real X server.
  add_test(NAME flow_tests.x11.LoginClose COMMAND xvfb-run -a $<TARGET_FILE:flow_tests>
    --gtest_filter=LoginFlow.ACloseRequestedWhileConnectingIsHonouredWhenTheLogInEnds)
  set_tests_properties(flow_tests.x11.LoginClose PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=xcb;LC_ALL=zh_CN.UTF-8")
  gtest_discover_tests(flow_tests TEST_PREFIX "gbk." TEST_FILTER "Login*:Chooser*:ConversionFlow.*:BatchFlow.*:*RestoreFlow.*"
    PROPERTIES TIMEOUT 300 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=zh_CN.GBK")
endif()
