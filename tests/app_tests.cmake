# The application shell: the real window, headless (offscreen), with real key and mouse events.
add_executable(app_tests
  app_test_main.cpp
  app_window_test.cpp
  app_controls_test.cpp
  app_wait_test.cpp
)
# GuiPrivate: window-system input queued as a real window system queues it.
target_link_libraries(app_tests PRIVATE tarvex_app Qt6::Test Qt6::GuiPrivate GTest::gtest)
# TIMEOUT only guards against a hang.
gtest_discover_tests(app_tests PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8")
# The texts crossing the window's edge once more in the users' code page.
gtest_discover_tests(app_tests TEST_PREFIX "gbk." TEST_FILTER "WindowTexts.*"
  PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=zh_CN.GBK")
# The combo box's focus entries once more on a real X server (Xvfb, no window manager), where
# the dropped list takes the window system's focus.
add_test(NAME app_tests.x11.ComboEvents COMMAND xvfb-run -a $<TARGET_FILE:app_tests> --gtest_filter=ComboEvents.*)
set_tests_properties(app_tests.x11.ComboEvents PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=xcb;LC_ALL=C.UTF-8")

# Started from another working directory than the program's own.
add_executable(app_startup_test app_startup_test.cpp)
target_link_libraries(app_startup_test PRIVATE tarvex_app GTest::gtest_main)
target_compile_definitions(app_startup_test PRIVATE TEST_PROGRAM_DIRECTORY="$<TARGET_FILE_DIR:app_startup_test>")
gtest_discover_tests(app_startup_test WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})

# The program itself on a real X server, started from another directory: its current directory
# is its own, and Esc ends it with exit code 0.
add_test(NAME app_program.x11.OwnDirectoryAndEscEndsIt
  COMMAND xvfb-run -a bash -c [=[
    set -eu
    program=$1
    cd /
    "$program" &
    pid=$!
    window=$(timeout 30 xdotool search --sync --onlyvisible --name VeltroGRP-Tarvex | head -n 1)
    cwd=$(readlink "/proc/$pid/cwd")
    if [ "$cwd" != "$(dirname "$(readlink -f "$program")")" ]; then
      echo "current directory: $cwd"
      kill "$pid"
      exit 1
    fi
    xdotool windowfocus --sync "$window" key Escape
    wait "$pid"
  ]=] bash $<TARGET_FILE:tarvex-convert>)
set_tests_properties(app_program.x11.OwnDirectoryAndEscEndsIt PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=xcb")
