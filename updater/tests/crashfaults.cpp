// The file operation fault hook of update_crashtest, driven by the environment, so that the crash
// test (update_crash.sh) can stop the real program at a chosen file operation and kill it there:
//   VXM_FAULT_LOG=<file>       appends "<operation> <path>" for every file operation
//   VXM_FAULT_FAIL=<k>         the k-th operation of the run (from 1) fails
//   VXM_FAULT_HOLD=<k>         at the k-th operation (of the kind VXM_FAULT_HOLD_ON names, or of
//   VXM_FAULT_HOLD_ON=<kind>   any kind) "<operation> <path>" is written to VXM_FAULT_MARKER, and
//   VXM_FAULT_MARKER=<file>    that operation and every later one wait until the process is killed
//   VXM_FAULT_HOLD_FROM=<end>  operations are counted for the hold only from the first one whose
//                              path ends with <end> on (that one is number 1)
#include "fileopfault.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

int number(const char* variable)
{
    const char* text = std::getenv(variable);
    return text ? std::atoi(text) : 0;
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void append(const char* file, const std::string& line, const char* mode)
{
    if (FILE* f = std::fopen(file, mode)) {
        std::fputs(line.c_str(), f);
        std::fclose(f);
    }
}

} // namespace

extern "C" bool vxmInjectFileOpFault(const char* operation, const char* path)
{
    static std::mutex mutex;
    static std::condition_variable never;
    static int seen = 0;
    static int counted = 0;
    static bool holding = false;
    static bool counting = false;

    std::unique_lock<std::mutex> lock(mutex);
    const std::string line = std::string(operation) + " " + path + "\n";
    if (const char* log = std::getenv("VXM_FAULT_LOG"))
        append(log, line, "a");
    ++seen;
    const char* from = std::getenv("VXM_FAULT_HOLD_FROM");
    if (!from || endsWith(path, from))
        counting = true;
    const char* kind = std::getenv("VXM_FAULT_HOLD_ON");
    if (counting && (!kind || std::strcmp(kind, operation) == 0))
        ++counted;
    if (!holding && counted == number("VXM_FAULT_HOLD") && std::getenv("VXM_FAULT_MARKER")) {
        holding = true;
        // Written under another name first, so the test never reads half a line.
        const std::string marker = std::getenv("VXM_FAULT_MARKER");
        append((marker + ".part").c_str(), line, "w");
        std::rename((marker + ".part").c_str(), marker.c_str());
    }
    if (holding)
        never.wait(lock, [] { return false; });
    return seen == number("VXM_FAULT_FAIL");
}
