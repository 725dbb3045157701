// The GoogleTest main() of every test program that needs a Qt application object, so that tests can
// run event loops, timers and queued signals. Built twice (CMakeLists.txt):
// - vxm_gtest_qt_main (VXM_TEST_WIDGETS): a QApplication, on the offscreen platform unless the
//   environment chooses one, for tests with widgets and for the stand-in client, whose main thread is
//   the client thread; with the leak checker's settings for Qt's offscreen platform.
// - vxm_gtest_qtcore_main: a QCoreApplication, for tests without widgets; with the thread
//   sanitizer's settings for Qt.
#include <gtest/gtest.h>

#if VXM_TEST_WIDGETS
#include "offscreen_leak_suppressions.h"

#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;

#if defined(__SANITIZE_THREAD__)
// Qt and GLib are not built with the thread sanitizer: their own locks and wake-ups are invisible to
// it, so memory that they allocate, copy and free inside their posted-event machinery would be
// reported as racing. Only calls from instrumented code are checked; the code under test reports its
// hand-overs through Qt's locks itself (e.g. runwatcher_plugin/sanitizer_sync.h).
extern "C" const char* __tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}
#endif
#endif

int main(int argc, char** argv)
{
#if VXM_TEST_WIDGETS
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
