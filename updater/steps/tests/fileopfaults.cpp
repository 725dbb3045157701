#include "fileopfaults.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace {

struct State
{
    std::mutex mutex;
    std::condition_variable cv;
    int failAt = 0;
    QStringList seen;
    std::string holdOperation;
    QString holdPath;
    std::string failOperation;
    QString failPath;
    bool holding = false;
    bool released = false;
};

State& state()
{
    static State s;
    return s;
}

} // namespace

extern "C" bool vxmInjectFileOpFault(const char* operation, const char* path)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    const QString file = QString::fromUtf8(path);
    s.seen << QString("%1 %2").arg(operation, file);
    if (!s.holdOperation.empty() && s.holdOperation == operation && file.contains(s.holdPath)) {
        s.holdOperation.clear();
        s.holding = true;
        s.cv.notify_all();
        s.cv.wait_for(lock, std::chrono::seconds(10), [&s] { return s.released; });
    }
    if (!s.failOperation.empty() && s.failOperation == operation && file.contains(s.failPath))
        return true;
    return s.failAt > 0 && s.seen.size() == s.failAt;
}

namespace fileopfaults {

void failOperation(int k)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failAt = k;
    state().seen.clear();
}

QStringList operations()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().seen;
}

void failMatching(const char* operation, const QString& pathPart)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failOperation = operation;
    state().failPath = pathPart;
}

void holdNext(const char* operation, const QString& pathPart)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().holdOperation = operation;
    state().holdPath = pathPart;
    state().holding = false;
    state().released = false;
}

bool isHolding()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().holding;
}

void release()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().released = true;
    state().cv.notify_all();
}

void clear()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    State& s = state();
    s.failAt = 0;
    s.seen.clear();
    s.holdOperation.clear();
    s.failOperation.clear();
    s.holding = false;
    s.released = true;
    s.cv.notify_all();
}

} // namespace fileopfaults
