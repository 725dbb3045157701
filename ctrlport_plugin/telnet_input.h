// What a telnet connection sends, on its way to lines: the telnet commands and carriage returns
// come out, and complete lines are cut at line feeds.
#ifndef CTRLPORT_TELNET_INPUT_H
#define CTRLPORT_TELNET_INPUT_H

#include <cstddef>
#include <string>

// Longest line a connection may send, without its line feed.
constexpr std::size_t kMaxLineLength = 64 * 1024;

// Removes telnet command sequences and carriage returns from the bytes of one connection, and turns
// CR NUL (the telnet end of line of a client in character mode) into a line feed. A sequence may be
// cut by a block boundary: the filter remembers where it stands.
//   IAC WILL/WONT/DO/DONT <option>   three bytes
//   IAC SB ... IAC SE                 skipped whole; a line feed, or more than
//                                     kMaxSubnegotiationLength bytes, ends it as well
//   IAC <any other byte>              two bytes (IAC IAC too, and the Data Mark of a Synch)
class TelnetInputFilter
{
public:
    static const std::size_t kMaxSubnegotiationLength = 64;

    // Appends the data bytes of the block to `data` and returns true. A block that holds a NUL other
    // than that of a CR NUL is no input: nothing is appended and the result is false, but the filter
    // has followed the telnet commands in it, so that the next block is read from the right place.
    bool filter(const char* block, std::size_t length, std::string& data);

private:
    enum State { Data, CarriageReturn, Command, Option, Subnegotiation, SubnegotiationCommand };

    void step(char c, std::string& data);

    State m_state = Data;
    std::size_t m_subnegotiationLength = 0;
};

// The input of one connection: the filter and the bytes after the last line feed.
class TelnetInput
{
public:
    enum class Next { Line, None, TooLong };

    // Takes a received block; false when it brings no input (a stray NUL, or nothing left once
    // cleaned), which then does not count as activity either.
    bool take(const char* block, std::size_t length);
    // The next complete line, without its line feed; TooLong when it, or the unfinished rest, is
    // longer than kMaxLineLength.
    Next next(std::string& line);
    void clear();

private:
    TelnetInputFilter m_filter;
    std::string m_pending;
    // Where the next line starts in m_pending.
    std::size_t m_start = 0;
};

#endif
