#include "telnet_input.h"

namespace {

const unsigned char kIAC = 0xFF;
const unsigned char kSB = 250;
const unsigned char kSE = 240;
const unsigned char kWILL = 251;
const unsigned char kDONT = 254;

} // namespace

bool TelnetInputFilter::filter(const char* block, std::size_t length, std::string& data)
{
    const std::size_t before = data.size();
    bool strayNul = false;
    for (const char* c = block; c != block + length; ++c) {
        if (m_state == CarriageReturn) {
            m_state = Data;
            if (*c == '\0') {
                data.push_back('\n');
                continue;
            }
            // A carriage return on its own is dropped; this byte is read as data.
        }
        strayNul |= *c == '\0';
        step(*c, data);
    }
    if (strayNul)
        data.resize(before);
    return !strayNul;
}

void TelnetInputFilter::step(char c, std::string& data)
{
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (m_state) {
    case Data:
    case CarriageReturn:
        if (byte == kIAC)
            m_state = Command;
        else if (c == '\r')
            m_state = CarriageReturn;
        else if (c != '\0')
            data.push_back(c);
        break;
    case Command:
        m_subnegotiationLength = 0;
        if (byte >= kWILL && byte <= kDONT)
            m_state = Option;
        else if (byte == kSB)
            m_state = Subnegotiation;
        else
            m_state = Data;
        break;
    case Option:
        m_state = Data;
        break;
    case Subnegotiation:
        // One without its end (a stray IAC SB) must not swallow the lines after it.
        if (c == '\n' || m_subnegotiationLength == kMaxSubnegotiationLength) {
            m_state = Data;
            step(c, data);
        } else {
            ++m_subnegotiationLength;
            if (byte == kIAC)
                m_state = SubnegotiationCommand;
        }
        break;
    case SubnegotiationCommand:
        if (c == '\n') {
            m_state = Data;
            step(c, data);
        } else {
            m_state = byte == kSE ? Data : Subnegotiation;
        }
        break;
    }
}

bool TelnetInput::take(const char* block, std::size_t length)
{
    const std::size_t before = m_pending.size();
    return m_filter.filter(block, length, m_pending) && m_pending.size() > before;
}

TelnetInput::Next TelnetInput::next(std::string& line)
{
    const std::size_t end = m_pending.find('\n', m_start);
    if (end == std::string::npos) {
        m_pending.erase(0, m_start);
        m_start = 0;
        return m_pending.size() > kMaxLineLength ? Next::TooLong : Next::None;
    }
    if (end - m_start > kMaxLineLength)
        return Next::TooLong;
    line.assign(m_pending, m_start, end - m_start);
    m_start = end + 1;
    return Next::Line;
}

void TelnetInput::clear()
{
    m_pending.clear();
    m_start = 0;
}
