// Small helpers on standard strings (bytes unless said otherwise): numbers as text, trims, address
// text, replacement, case, padding, SQL quoting, the number parsers behind the parameter getters,
// and the escaping of values on the telnet protocol.
//
// Every function is free of shared state and may run on any thread; the ones that report a problem
// log one line on the channel "StringHelp".
#ifndef CTRLPORT_CUSTOM_STRING_HELPERS_H
#define CTRLPORT_CUSTOM_STRING_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <string>

struct sockaddr_in;

// --- numbers as text ---------------------------------------------------------------------------
std::string intToString(int32_t value);
std::string uintToString(uint32_t value);
std::string uint64ToString(uint64_t value);
// Binary digits, most significant first, no leading zeros; 0 gives "".
std::string toBinaryString(uint64_t value);
// Fixed-point with exactly four decimals and always a "." (whatever the process locale): 1.5 -> "1.5000".
std::string formatFloat(float value);

// --- trims and changes (each returns a new string) ---------------------------------------------
std::string trimLeft(const std::string& text, const std::string& bytes);
std::string trimRight(const std::string& text, const std::string& bytes);
// Every occurrence of `search` replaced, left to right without overlap; an empty search text returns
// the text unchanged.
std::string replaceAll(const std::string& search, const std::string& replacement, const std::string& text);
std::wstring replaceAll(const std::wstring& search, const std::wstring& replacement, const std::wstring& text);
std::string removeChar(const std::string& text, char byte);
// ASCII letters only; every other byte stays as it is.
std::string toLower(const std::string& text);
std::string toUpper(const std::string& text);
// Appends (prepends) `pad` while the text is shorter than `width`; a pad of several bytes may
// overshoot. An empty pad returns the text unchanged.
std::string padRight(const std::string& text, const std::string& pad, std::size_t width);
std::string padLeft(const std::string& text, const std::string& pad, std::size_t width);
// The text when it has at most `maxLength` bytes; else "..." (maxLength below 3) or its first
// maxLength - 3 bytes followed by "...".
std::string elide(const std::string& text, int32_t maxLength);

// --- address text --------------------------------------------------------------------------------
std::string ipText(const sockaddr_in& address);
std::string portText(const sockaddr_in& address);
std::string ipPortText(const sockaddr_in& address);

// --- SQL text ------------------------------------------------------------------------------------
std::string sqlEscape(const std::string& text);
std::string sqlUnescape(const std::string& text);
std::string sqlQuote(const std::string& text);
std::string doubleQuote(const std::string& text);
// The next ";"-terminated statement of `script` from `position` (start with 0). The position becomes
// std::string::npos after the last statement; from then on "" is returned.
std::string nextSqlStatement(const std::string& script, std::size_t& position);

// --- number parsers ------------------------------------------------------------------------------
// Read from the first byte (no blanks skipped): parseInt takes one "+" or "-", the unsigned parsers
// no sign; then at least one decimal digit; reading stops at the first other byte, whatever follows
// is ignored. Out of range, no digit or an empty text fail: the result is 0 and `failed` is set; on
// success `failed` is cleared. parseUInt64 reads the exact text "-1" as the largest value and then
// leaves `failed` as it was.
uint32_t parseUInt(const std::string& text, bool& failed);
uint64_t parseUInt64(const std::string& text, bool& failed);
int32_t parseInt(const std::string& text, bool& failed);
// The same without a flag: 0 for an empty text, 0 and a log line on failure.
uint32_t stringToUInt(const std::string& text);
uint64_t stringToUINT64(const std::string& text);
int32_t stringToInt(const std::string& text);
// The number between the last blank and the last "M]" (or "]") of the text, or 0.
uint64_t numberBeforeBracket(const std::string& text);
// Stream extraction of an unsigned long (leading white space skipped, trailing bytes ignored);
// `failed` is set when the stream fails.
uint64_t stringToULong(const std::string& text, bool& failed);

// --- telnet escaping -----------------------------------------------------------------------------
// Backslash, slash, blank, bar, bell, backspace, form feed, line feed, carriage return, tab and
// vertical tab become two-byte escapes; every other byte passes unchanged.
std::string escapeText(const std::string& text);
// The reverse: a backslash pair becomes the one byte it stands for; a backslash before a byte of
// 0x80 or above, or at the very end, stays.
std::string unescapeText(const std::string& text);
// Cuts the text up to its first unescaped slash off `text` (the slash too) and returns it unescaped;
// without such a slash the whole text is taken.
std::string takeEscapedElement(std::string& text);

#endif
