// What the sources of the string helpers share beyond their header: the log channel of their
// problem lines and the fixed-point writer behind the float and display formats.
#ifndef CTRLPORT_CUSTOM_STRING_HELPERS_P_H
#define CTRLPORT_CUSTOM_STRING_HELPERS_P_H

#include <string>

constexpr const char* kStringHelpChannel = "StringHelp";

// The value with exactly `decimals` digits after a "." (whatever the process locale).
std::string fixedPoint(double value, int decimals);

#endif
