// main() of GoogleTest programs that drive a FakeHost: the main thread becomes the client thread with
// a QApplication (offscreen unless a platform is chosen), so that plug-ins may use queued signals and
// show their option dialogs.
#include "offscreen_leak_suppressions.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
