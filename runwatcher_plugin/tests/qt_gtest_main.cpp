// GoogleTest main with a Qt application object, for tests that need Qt's event loop.
#include <QCoreApplication>
#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
// Qt and GLib are not built with the thread sanitizer: their own locks and wake-ups are invisible to
// it, so memory that they allocate, copy and free inside their posted-event machinery would be
// reported as racing. Only calls from instrumented code are checked; the plug-in reports the
// hand-overs through Qt's locks itself (sanitizer_sync.h).
extern "C" const char* __tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}
#endif

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
