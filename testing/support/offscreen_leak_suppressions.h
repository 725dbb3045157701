// Include in exactly one source file of a program that creates a Q(Gui)Application and runs under the
// leak checker: Qt's offscreen platform plug-in never frees its screen and cursor objects, which is no
// fault of ours. The leak checker matches suppressions against full stacks only, so stacks of
// allocations are unwound the slow, complete way (only in sanitizer builds; nothing else changes).
#ifndef VXM_TESTING_OFFSCREEN_LEAK_SUPPRESSIONS_H
#define VXM_TESTING_OFFSCREEN_LEAK_SUPPRESSIONS_H

extern "C" const char* __asan_default_options();
extern "C" const char* __lsan_default_suppressions();

extern "C" __attribute__((used)) const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" __attribute__((used)) const char* __lsan_default_suppressions()
{
    return "leak:QGuiApplicationPrivate::createPlatformIntegration\n";
}

#endif
