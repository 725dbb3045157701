// The one wait of the tests: polls a condition until it holds or a deadline passes, running a step
// between two polls that waits a bounded time for something to happen (Qt's event loop, a socket, a
// condition variable). No Qt here, so tests without Qt use it too; testsupport.h adds the wait that
// runs Qt's event loop.
#ifndef VXM_TESTING_WAIT_UNTIL_H
#define VXM_TESTING_WAIT_UNTIL_H

#include <chrono>
#include <functional>

namespace testsupport {

// Returns true once `condition` holds; at the deadline, what `condition` says then. `between` must
// return after a short while (about 10 ms) even when nothing happens, so the deadline is seen.
inline bool waitUntil(const std::function<bool()>& condition, const std::function<void()>& between,
                      std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        between();
    }
    return true;
}

} // namespace testsupport

#endif
