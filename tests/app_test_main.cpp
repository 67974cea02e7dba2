// The window tests need one application object per process; ctest runs each test in a process
// of its own. Listing the tests needs none (and no display).
#include <QApplication>

#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    std::setlocale(LC_ALL, "");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
