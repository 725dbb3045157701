// Numbers, sizes, durations and the local time formatted for display.
#include "custom_string_helpers.h"
#include "custom_string_helpers_p.h"

#include "host.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstdio>

namespace {

std::string twoDigits(uint64_t value)
{
    return padLeft(uint64ToString(value), "0", 2);
}

} // namespace

std::string formatPercent(double fraction)
{
    return fixedPoint(fraction * 100.0, 2) + " %";
}

std::string formatByteSize(uint64_t bytes, bool binary)
{
    static const char* const kDecimalUnits[] = {" k", " M", " G", " T", " P", " E"};
    static const char* const kBinaryUnits[] = {" K", " M", " G", " T", " P", " E"};
    const uint64_t base = binary ? 1024 : 1000;
    const uint64_t limit = base * base;
    if (bytes < base)
        return uint64ToString(bytes) + (binary ? " Bytes" : "");
    std::size_t steps = 1;
    while (bytes > limit) {
        bytes /= base;
        ++steps;
    }
    if (steps > 6)
        return "overflow";
    std::string text = fixedPoint(static_cast<double>(bytes) / static_cast<double>(base), 2);
    text += binary ? kBinaryUnits[steps - 1] : kDecimalUnits[steps - 1];
    if (binary)
        text += "iB";
    return text;
}

std::string formatDuration(uint64_t milliseconds, bool withMilliseconds)
{
    const uint64_t years = milliseconds / 31536000000ull;
    if (years > 100) {
        logMessage("Your system time seems to be unstable, please fix this", 2, kStringHelpChannel);
        return "overflow";
    }
    const uint64_t days = milliseconds / 86400000ull % 365;
    std::string text;
    if (years != 0)
        text += uint64ToString(years) + "a ";
    if (years != 0 || days != 0)
        text += uint64ToString(days) + "d ";
    text += twoDigits(milliseconds / 3600000ull % 24) + ":" + twoDigits(milliseconds / 60000ull % 60) + ":"
        + twoDigits(milliseconds / 1000ull % 60);
    if (withMilliseconds)
        text += "." + padLeft(uint64ToString(milliseconds % 1000), "0", 3);
    return text;
}

std::string localTimeText()
{
    namespace pt = boost::posix_time;
    const pt::ptime now = pt::microsec_clock::local_time();
    const auto date = now.date().year_month_day();
    const pt::time_duration time = now.time_of_day();
    // The clock's tick may be finer than a microsecond; the text always has six digits.
    const int64_t micros = time.fractional_seconds() * 1000000 / pt::time_duration::ticks_per_second();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", static_cast<int>(date.year),
        static_cast<int>(date.month), static_cast<int>(date.day), static_cast<int>(time.hours()),
        static_cast<int>(time.minutes()), static_cast<int>(time.seconds()), static_cast<long long>(micros));
    return buffer;
}

std::string hexDump(const unsigned char* bytes, int32_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    if (!bytes || length <= 0)
        return std::string();
    std::string text;
    text.reserve(static_cast<std::size_t>(length) * 3);
    for (int32_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
        text += ' ';
    }
    return text;
}

std::string formatShorts(const int16_t* buffer, int32_t size)
{
    CTRLPORT_ASSERT("custom_string_helpers", size % 2 == 0);
    if (!buffer || size <= 0)
        return std::string();
    // Only whole values: the byte of a half value at the end may lie beyond the caller's buffer.
    std::string text;
    for (int32_t i = 0; i < size / 2; ++i) {
        text += intToString(buffer[i]);
        text += ' ';
    }
    return text;
}
