// Small helpers on standard strings (bytes unless said otherwise): numbers as text, trims, address
// text, replacement, case, padding, SQL quoting, the number parsers behind the parameter getters,
// the escaping of values on the telnet protocol, UTF-8 text, display formatting and BBCode.
//
// Every function is free of shared state and may run on any thread; the ones that report a problem
// log one line on the channel "StringHelp".
//
// Each topic is defined in a source file of its own, named in its section, so that a program links
// only the topics it calls.
#ifndef CTRLPORT_CUSTOM_STRING_HELPERS_H
#define CTRLPORT_CUSTOM_STRING_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <string>

struct sockaddr_in;

// --- numbers as text, string_numbers.cpp ---------------------------------------------------------
std::string intToString(int32_t value);
std::string uintToString(uint32_t value);
std::string uint64ToString(uint64_t value);
// Binary digits, most significant first, no leading zeros; 0 gives "".
std::string toBinaryString(uint64_t value);
// Fixed-point with exactly four decimals and always a "." (whatever the process locale): 1.5 -> "1.5000".
std::string formatFloat(float value);

// --- trims and changes (each returns a new string), string_text.cpp ------------------------------
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

// --- address text, string_address.cpp ------------------------------------------------------------
std::string ipText(const sockaddr_in& address);
std::string portText(const sockaddr_in& address);
std::string ipPortText(const sockaddr_in& address);

// --- SQL text, string_sql.cpp --------------------------------------------------------------------
std::string sqlEscape(const std::string& text);
std::string sqlUnescape(const std::string& text);
std::string sqlQuote(const std::string& text);
std::string doubleQuote(const std::string& text);
// The next ";"-terminated statement of `script` from `position` (start with 0). The position becomes
// std::string::npos after the last statement; from then on "" is returned.
std::string nextSqlStatement(const std::string& script, std::size_t& position);

// --- number parsers, string_numbers.cpp ----------------------------------------------------------
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

// --- telnet escaping, string_escaping.cpp --------------------------------------------------------
// Backslash, slash, blank, bar, bell, backspace, form feed, line feed, carriage return, tab and
// vertical tab become two-byte escapes; every other byte passes unchanged.
std::string escapeText(const std::string& text);
// The reverse: a backslash pair becomes the one byte it stands for; a backslash before a byte of
// 0x80 or above, or at the very end, stays.
std::string unescapeText(const std::string& text);
// Cuts the text up to its first unescaped slash off `text` (the slash too) and returns it unescaped;
// without such a slash the whole text is taken.
std::string takeEscapedElement(std::string& text);

// --- UTF-8 text, string_utf8.cpp -----------------------------------------------------------------
// Decoding rules: leads 0xC2-0xDF, 0xE0-0xEF and 0xF0-0xF4 take one, two and three continuation
// bytes (0x80-0xBF); after 0xE0 the second byte is at least 0xA0, after 0xF0 at least 0x90, after
// 0xF4 below 0x90. Encoded surrogates are accepted. A sequence cut off by the end is invalid.

// Result of trimUtf8 and sanitizeUtf8 when the text is not valid UTF-8 (the client's "invalid
// parameter").
constexpr int kUtf8Invalid = 1538;

// True when the whole text follows the decoding rules; the empty text is valid.
bool isValidUtf8(const std::string& text);
// The number of characters; for an invalid text the byte length (and a log line).
std::size_t utf8Length(const std::string& text);
// The first `count` characters; for an invalid text the first `count` bytes (and a log line).
std::string utf8Left(const std::string& text, std::size_t count);
// Every multi-byte character written as "&#<decimal code point>;"; an invalid text comes back
// unchanged (and a log line).
std::string utf8ToHtmlEntities(const std::string& text);
// Removes leading and trailing white space (blank, tab and the Unicode blanks) in place. Returns 0,
// or kUtf8Invalid when an invalid sequence stopped the walk (leading white space is gone then).
int trimUtf8(std::string& text);
// Removes control characters, U+0080-U+009F, the direction marks U+200E, U+200F, U+2028-U+202E and
// every code point above U+FFF8 in place; line feed and carriage return, and the tab, only when
// asked. Returns 0, or kUtf8Invalid when an invalid sequence stopped the walk (earlier removals stay).
int sanitizeUtf8(std::string& text, bool stripLineBreaks, bool stripTabs);

// --- display formatting (always with a "." as decimal point), string_format.cpp ------------------
// The fraction times 100 with two decimals and " %": 0.1234 -> "12.34 %".
std::string formatPercent(double fraction);
// Bytes with a decimal (1000, units k M G T P E) or binary (1024, units KiB MiB ...) prefix:
// 1500000 -> "1.50 M", binary 2048 -> "2.00 KiB"; below the base the plain number ("999", or
// "512 Bytes" when binary).
std::string formatByteSize(uint64_t bytes, bool binary);
// "[<years>a ][<days>d ]HH:MM:SS[.mmm]"; "overflow" beyond 100 years.
std::string formatDuration(uint64_t milliseconds, bool withMilliseconds);
// The current local time as "YYYY-MM-DD HH:MM:SS.ffffff" (always 26 characters).
std::string localTimeText();
// Each byte as two lower-case hexadecimal digits and a blank; "" for a length of 0 or below.
std::string hexDump(const unsigned char* bytes, int32_t length);
// Each signed 16-bit value in decimal and a blank; `size` counts bytes. An odd size is an error of
// the caller (logged as a failed assertion); the half value at the end is not read.
std::string formatShorts(const int16_t* buffer, int32_t size);

// --- BBCode, string_bbcode.cpp -------------------------------------------------------------------
// The text with "&", "<", ">" and '"' escaped, then [B], [I], [U], [URL], [URL=...] and [COLOR=...]
// turned into HTML, nested tags from the inside out. Links are made only to http, https, ftp and
// mailto addresses, colours only from "#" and hexadecimal digits or from letters; a tag with any
// other address or colour keeps just its inner text. Texts longer than kBbcodeMaxInput, and texts
// whose conversion fails, come back escaped but otherwise unconverted (and a log line).
std::string bbcodeBasicToHtml(const std::string& text);
// bbcodeBasicToHtml, then [SIZE=<digits>], [LEFT], [RIGHT], [CENTER] and the lists [LIST],
// [LIST=1], [LIST=A] and [LIST=I] with their "[*]" items.
std::string bbcodeToHtml(const std::string& text);
// Longest text that the BBCode conversion works on.
constexpr std::size_t kBbcodeMaxInput = 64 * 1024;
// Most nesting levels that the BBCode conversion resolves, and most lists it converts; markup
// beyond them stays as (escaped) text.
constexpr int kBbcodeMaxPasses = 32;
constexpr int kBbcodeMaxLists = 256;

#endif
