# The Windows program.
#
# Linux build: windows_flow_test, which drives a Windows build's tarvex-convert.exe under wine
# against a stand-in of this build (TARVEX_WINDOWS_EXE names the program; skipped without it),
# and runs its tarvex-convert-cli.exe there (TARVEX_WINDOWS_CLI; skipped without it).
# Windows build (build-win, run under wine by CTest): the tests above that need no stand-in
# process of their own, and the window's (windows_window_test); with the Linux build named by
# TARVEX_HOST_BUILD also the connection object against its stand-in (odbcdb_wine_test) and its
# flow tests of the Windows program.
if(NOT WIN32)
  add_executable(windows_flow_test windows_flow_test.cpp)
  target_compile_definitions(windows_flow_test PRIVATE
    DRIVE_CONVERSION="${CMAKE_CURRENT_SOURCE_DIR}/windows/drive-conversion"
    WINE_RUN="${PROJECT_SOURCE_DIR}/scripts/wine-run"
    CLOSE_DURING_RUN="${CMAKE_CURRENT_SOURCE_DIR}/windows/close-during-run"
    DRIVE_BATCH="${CMAKE_CURRENT_SOURCE_DIR}/windows/drive-batch"
    DRIVE_RESTORE="${CMAKE_CURRENT_SOURCE_DIR}/windows/drive-restore")
  target_link_libraries(windows_flow_test PRIVATE tarvex_extract tarvex_test_support SQLite::SQLite3 Qt6::Core
    GTest::gtest_main)
  add_dependencies(windows_flow_test mssql-standin)
  return()
endif()

# The window under wine, on a private X server: the system's font, the toolkit's own texts, its
# frame, its pauses, its dropped list and the log-in's window for the driver. The driver manager
# (the host's unixODBC behind wine's odbc32) reads a configuration of the test's own, which has
# it trace every call; "SQL Server" is registered nowhere there, so no log-in gets further.
set(TARVEX_WINE_ODBC ${CMAKE_CURRENT_BINARY_DIR}/odbc-traced)
file(WRITE ${TARVEX_WINE_ODBC}/odbcinst.ini "[ODBC]\nTrace=Yes\nTraceFile=${TARVEX_WINE_ODBC}/trace.log\n")
file(WRITE ${TARVEX_WINE_ODBC}/odbc.ini "")
add_executable(windows_window_test windows_window_test.cpp)
target_include_directories(windows_window_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(windows_window_test PRIVATE tarvex_app GTest::gtest)
add_test(NAME windows.WindowUnderWine COMMAND xvfb-run -a env WINEPREFIX=${TARVEX_WINEPREFIX}
  ${PROJECT_SOURCE_DIR}/scripts/wine-run $<TARGET_FILE:windows_window_test>)
set_tests_properties(windows.WindowUnderWine PROPERTIES TIMEOUT 300  # a guard against a hang
  ENVIRONMENT "ODBCSYSINI=${TARVEX_WINE_ODBC};ODBCINI=${TARVEX_WINE_ODBC}/odbc.ini;TARVEX_ODBC_TRACE=Z:${TARVEX_WINE_ODBC}/trace.log")

set(TARVEX_HOST_BUILD "" CACHE PATH "Linux build tree with mssql-standin and windows_flow_test")
if(TARVEX_HOST_BUILD)
  # The connection object against a stand-in that starts for each test.
  add_executable(odbcdb_wine_test odbcdb_wine_test.cpp)
  target_link_libraries(odbcdb_wine_test PRIVATE tarvex_db GTest::gtest_main)
  set_target_properties(odbcdb_wine_test PROPERTIES CROSSCOMPILING_EMULATOR
    "env;WINEPREFIX=${TARVEX_WINEPREFIX};${CMAKE_CURRENT_SOURCE_DIR}/windows/with-standin;${TARVEX_HOST_BUILD}/mssql-standin")
  gtest_discover_tests(odbcdb_wine_test PROPERTIES TIMEOUT 300 DISCOVERY_TIMEOUT 120)

  add_test(NAME windows.flow.ConversionUnderWine COMMAND ${TARVEX_HOST_BUILD}/windows_flow_test
    --gtest_filter=*.AConversionEndsInABackupOfThatAccountSetsRowsInTheProgramsFolder)
  # The batch dialog converting every account set of the sample.
  add_test(NAME windows.flow.BatchDialogUnderWine COMMAND ${TARVEX_HOST_BUILD}/windows_flow_test
    --gtest_filter=*.TheBatchDialogConvertsEveryCheckedSetIntoItsOwnCheckedBackup)
  # The restore dialog, then a conversion from the restored database.
  add_test(NAME windows.flow.RestoreUnderWine COMMAND ${TARVEX_HOST_BUILD}/windows_flow_test
    --gtest_filter=*.TheRestoredSampleIsLoggedInToAndAnAccountSetConvertedFromIt)
  # Closes of the window at random moments of a run, each of a program run of its own.
  add_test(NAME windows.flow.ClosingDuringARunUnderWine COMMAND ${TARVEX_HOST_BUILD}/windows_flow_test
    --gtest_filter=*.ClosingTheWindowAtAnyMomentOfARunEndsTheProgramCleanly)
  # Windows身份验证 ticked: the conversion as the user of a Kerberos realm of the test's own.
  add_test(NAME windows.flow.WindowsLoginUnderWine COMMAND ${TARVEX_HOST_BUILD}/windows_flow_test
    --gtest_filter=*.WithWindowsLoginTickedTheConversionRunsAsTheWindowsUser)
  # TIMEOUT only guards against a hang.
  set_tests_properties(windows.flow.ConversionUnderWine windows.flow.ClosingDuringARunUnderWine
    windows.flow.BatchDialogUnderWine windows.flow.RestoreUnderWine windows.flow.WindowsLoginUnderWine PROPERTIES
    TIMEOUT 1200 RUN_SERIAL ON
    ENVIRONMENT "TARVEX_WINDOWS_EXE=$<TARGET_FILE:tarvex-convert>;WINEPREFIX=${TARVEX_WINEPREFIX}")

  # The command line converting two sets under wine; with --windows-login in a Kerberos realm.
  add_test(NAME windows.cli.ConversionUnderWine
    COMMAND ${TARVEX_HOST_BUILD}/windows_flow_test --gtest_filter=WindowsCommandLineUnderWine.*-*.*AsTheWindowsUser*)
  add_test(NAME windows.cli.WindowsLoginUnderWine
    COMMAND ${TARVEX_HOST_BUILD}/windows_flow_test --gtest_filter=WindowsCommandLineUnderWine.*AsTheWindowsUser*)
  set_tests_properties(windows.cli.ConversionUnderWine windows.cli.WindowsLoginUnderWine PROPERTIES TIMEOUT 600 RUN_SERIAL ON
    ENVIRONMENT "TARVEX_WINDOWS_CLI=$<TARGET_FILE:tarvex-convert-cli>;WINEPREFIX=${TARVEX_WINEPREFIX}")
endif()
