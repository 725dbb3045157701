// libFuzzer target: any bytes as the input of a telnet connection, whole and cut into blocks (the
// first byte gives the block size), out as lines. Aborts when a line holds a line feed, a carriage
// return, a NUL or an IAC, when a line longer than the limit is handed out, or, for input without a
// NUL (whose blocks are never dropped), when the lines depend on where the blocks were cut.
#include "telnet_input.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> linesOf(const char* data, std::size_t size, std::size_t blockSize, bool& tooLong)
{
    TelnetInput input;
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t at = 0; at < size; at += blockSize) {
        if (!input.take(data + at, std::min(blockSize, size - at)))
            continue;
        TelnetInput::Next next;
        while ((next = input.next(line)) == TelnetInput::Next::Line) {
            if (line.size() > kMaxLineLength || line.find_first_of(std::string("\n\r\0\xFF", 4)) != std::string::npos)
                std::abort();
            lines.push_back(line);
        }
        if (next == TelnetInput::Next::TooLong) {
            tooLong = true;
            break;
        }
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t blockSize = 1 + bytes[0] % 16;
    const char* data = reinterpret_cast<const char*>(bytes + 1);
    --size;

    bool wholeTooLong = false;
    bool cutTooLong = false;
    const std::vector<std::string> whole = linesOf(data, size, std::max<std::size_t>(size, 1), wholeTooLong);
    const std::vector<std::string> cut = linesOf(data, size, blockSize, cutTooLong);
    if (std::find(data, data + size, '\0') == data + size && (whole != cut || wholeTooLong != cutTooLong))
        std::abort();
    return 0;
}
