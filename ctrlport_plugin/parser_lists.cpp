// The list commands: clientlist, channelclientlist and channellist, answered from what the client
// knows of the selected server connection. Each record is read key by key from the client; any
// failing call stops the command before anything is sent, and every list the client handed out
// is given back on every road.
#include "parser.h"

#include "parser_host.h"
#include "replybuilder.h"

#include <cstdint>
#include <string>
#include <utility>

namespace {

// Option groups of a client record.
enum ClientOption : unsigned
{
    kWithAway = 1u << 0,
    kWithVoice = 1u << 1,
    kWithUid = 1u << 2,
    kWithGroups = 1u << 3,
    kWithIcon = 1u << 4,
    kWithCountry = 1u << 5
};

// Option groups of a channel record.
enum ChannelOption : unsigned
{
    kWithTopic = 1u << 0,
    kWithFlags = 1u << 1,
    kWithChannelVoice = 1u << 2,
    kWithChannelIcon = 1u << 3,
    kWithLimits = 1u << 4
};

// The keys written whatever the options.
constexpr unsigned kAlways = 0;

struct OptionName
{
    const char* name;
    unsigned flag;
};

const OptionName kClientOptions[] = {
    {"-away", kWithAway}, {"-voice", kWithVoice}, {"-uid", kWithUid},
    {"-groups", kWithGroups}, {"-icon", kWithIcon}, {"-country", kWithCountry},
};
const OptionName kChannelOptions[] = {
    {"-topic", kWithTopic}, {"-flags", kWithFlags}, {"-voice", kWithChannelVoice},
    {"-icon", kWithChannelIcon}, {"-limits", kWithLimits},
};

template <std::size_t N>
unsigned readOptions(const ParamParser& parameters, const OptionName (&options)[N])
{
    unsigned flags = 0;
    for (const OptionName& option : options) {
        if (parameters.hasParam(option.name))
            flags |= option.flag;
    }
    return flags;
}

// How a value read from the client is written: the unsigned 64-bit number, the int as its low
// 16 bits, the int with its sign, or the text escaped.
enum class Width
{
    UInt64,
    UInt16,
    Int,
    Text
};

// A key of a record: the client's variable it reads, how it is written and the option group that
// asks for it.
struct RecordKey
{
    const char* key;
    std::size_t variable;
    Width width;
    unsigned option;
};

// The keys of a client record after its clid and cid, in the order they are written.
const RecordKey kClientKeys[] = {
    {"client_database_id", 32, Width::UInt64, kAlways},
    {"client_nickname", 1, Width::Text, kAlways},
    {"client_type", 40, Width::UInt16, kAlways},
    {"client_away", 38, Width::UInt16, kWithAway},
    {"client_away_message", 39, Width::Text, kWithAway},
    {"client_flag_talking", 4, Width::UInt16, kWithVoice},
    {"client_input_muted", 5, Width::UInt16, kWithVoice},
    {"client_output_muted", 6, Width::UInt16, kWithVoice},
    {"client_input_hardware", 8, Width::UInt16, kWithVoice},
    {"client_output_hardware", 9, Width::UInt16, kWithVoice},
    {"client_talk_power", 42, Width::Int, kWithVoice},
    {"client_is_talker", 46, Width::UInt16, kWithVoice},
    {"client_is_priority_speaker", 51, Width::UInt16, kWithVoice},
    {"client_is_recording", 17, Width::UInt16, kWithVoice},
    {"client_is_channel_commander", 57, Width::UInt16, kWithVoice},
    {"client_is_muted", 16, Width::UInt16, kWithVoice},
    {"client_unique_identifier", 0, Width::Text, kWithUid},
    {"client_servergroups", 34, Width::Text, kWithGroups},
    {"client_channel_group_id", 33, Width::UInt64, kWithGroups},
    {"client_icon_id", 56, Width::Int, kWithIcon},
    {"client_country", 58, Width::Text, kWithCountry},
};
const std::size_t kClientFlagTalking = 4;

// The keys of a channel record after its cid and pid, before its subscription.
const RecordKey kChannelKeys[] = {
    {"channel_order", 8, Width::UInt64, kAlways},
    {"channel_name", 0, Width::Text, kAlways},
    {"channel_topic", 1, Width::Text, kWithTopic},
    {"channel_flag_default", 11, Width::UInt16, kWithFlags},
    {"channel_flag_password", 12, Width::UInt16, kWithFlags},
    {"channel_flag_permanent", 9, Width::UInt16, kWithFlags},
    {"channel_flag_semi_permanent", 10, Width::UInt16, kWithFlags},
    {"channel_codec", 4, Width::UInt64, kWithChannelVoice},
    {"channel_codec_quality", 5, Width::UInt64, kWithChannelVoice},
    {"channel_needed_talk_power", 28, Width::Int, kWithChannelVoice},
    {"channel_icon_id", 31, Width::Int, kWithChannelIcon},
    {"channel_maxclients", 6, Width::Int, kWithLimits},
    {"channel_maxfamilyclients", 7, Width::Int, kWithLimits},
};
const std::size_t kChannelFlagAreSubscribed = 26;

// Writes the keys of one client or channel that the options ask for, each read from the client by
// its variable number; a read that fails gives back the client's error and writes nothing more.
template <typename Id>
class RecordWriter
{
public:
    virtual ~RecordWriter() = default;

protected:
    using IntGetter = unsigned (*)(uint64_t, Id, std::size_t, int*);
    using UInt64Getter = unsigned (*)(uint64_t, Id, std::size_t, uint64_t*);
    using TextGetter = unsigned (*)(uint64_t, Id, std::size_t, char**);

    RecordWriter(uint64_t schandlerid, Id id, std::string& line, IntGetter getInt, UInt64Getter getUInt64,
                 TextGetter getText)
        : m_sch(schandlerid), m_id(id), m_line(line), m_getInt(getInt), m_getUInt64(getUInt64), m_getText(getText)
    {
    }

    template <std::size_t N>
    unsigned writeKeys(const RecordKey (&keys)[N], unsigned options)
    {
        for (const RecordKey& key : keys) {
            if (key.option != kAlways && !(options & key.option))
                continue;
            if (const unsigned error = writeKey(key))
                return error;
        }
        return 0;
    }

    virtual unsigned readInt(std::size_t variable, int& value) { return m_getInt(m_sch, m_id, variable, &value); }

    const uint64_t m_sch;
    const Id m_id;
    std::string& m_line;

private:
    unsigned writeKey(const RecordKey& key)
    {
        if (key.width == Width::UInt64) {
            uint64_t value = 0;
            if (const unsigned error = m_getUInt64(m_sch, m_id, key.variable, &value))
                return error;
            addParam(m_line, key.key, value);
        } else if (key.width == Width::Text) {
            HostMemory<char> text;
            if (const unsigned error = m_getText(m_sch, m_id, key.variable, text.out()))
                return error;
            addParam(m_line, key.key, text.get() ? std::string(text.get()) : std::string());
        } else {
            int value = 0;
            if (const unsigned error = readInt(key.variable, value))
                return error;
            if (key.width == Width::Int)
                addParam(m_line, key.key, static_cast<int32_t>(value));
            else
                addParam(m_line, key.key, static_cast<uint16_t>(value));
        }
        return 0;
    }

    const IntGetter m_getInt;
    const UInt64Getter m_getUInt64;
    const TextGetter m_getText;
};

class ClientRecordWriter : private RecordWriter<uint16_t>
{
public:
    ClientRecordWriter(uint64_t schandlerid, uint16_t clientID, std::string& line)
        : RecordWriter(schandlerid, clientID, line, hostTable().getClientVariableAsInt,
                       hostTable().getClientVariableAsUInt64, hostTable().getClientVariableAsString)
    {
    }

    unsigned write(unsigned options)
    {
        addParam(m_line, "clid", m_id);
        uint64_t channelID = 0;
        if (const unsigned error = hostTable().getChannelOfClient(m_sch, m_id, &channelID))
            return error;
        addParam(m_line, "cid", channelID);
        if (const unsigned error = writeKeys(kClientKeys, options))
            return error;
        endRecord(m_line);
        return 0;
    }

private:
    unsigned readInt(std::size_t variable, int& value) override
    {
        // The own client's talking state is the client's own knowledge, not the server's.
        uint16_t own = 0;
        if (variable == kClientFlagTalking && hostTable().getOwnClientID(m_sch, &own) == 0 && own != 0 && own == m_id)
            return hostTable().getOwnClientVariableAsInt(m_sch, variable, &value);
        return RecordWriter::readInt(variable, value);
    }
};

class ChannelRecordWriter : private RecordWriter<uint64_t>
{
public:
    ChannelRecordWriter(uint64_t schandlerid, uint64_t channelID, std::string& line)
        : RecordWriter(schandlerid, channelID, line, hostTable().getChannelVariableAsInt,
                       hostTable().getChannelVariableAsUInt64, hostTable().getChannelVariableAsString)
    {
    }

    unsigned write(unsigned options)
    {
        addParam(m_line, "cid", m_id);
        uint64_t parent = 0;
        if (const unsigned error = hostTable().getParentChannel(m_sch, m_id, &parent))
            return error;
        addParam(m_line, "pid", parent);
        if (const unsigned error = writeKeys(kChannelKeys, options))
            return error;
        if (const unsigned error = subscription())
            return error;
        endRecord(m_line);
        return 0;
    }

private:
    // The subscription flag and, for a subscribed channel, the number of its clients.
    unsigned subscription()
    {
        int subscribed = 0;
        if (const unsigned error = readInt(kChannelFlagAreSubscribed, subscribed))
            return error;
        addParam(m_line, "channel_flag_are_subscribed", static_cast<uint16_t>(subscribed));
        if (subscribed == 0)
            return 0;
        HostMemory<uint16_t> clients;
        if (const unsigned error = hostTable().getChannelClientList(m_sch, m_id, clients.out()))
            return error;
        uint64_t count = 0;
        for (const uint16_t* entry = clients.get(); entry && *entry != 0; ++entry)
            ++count;
        addParam(m_line, "total_clients", count);
        return 0;
    }
};

// One record per client of a 0-ended list; the client's error of the first failing call.
unsigned writeClientRecords(uint64_t schandlerid, const uint16_t* clients, unsigned options, std::string& line)
{
    for (const uint16_t* entry = clients; entry && *entry != 0; ++entry) {
        if (const unsigned error = ClientRecordWriter(schandlerid, *entry, line).write(options))
            return error;
    }
    return 0;
}

} // namespace

unsigned Parser::clientListCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    const unsigned options = readOptions(parameters, kClientOptions);
    HostMemory<uint16_t> clients;
    if (const unsigned error = hostTable().getClientList(selected, clients.out()))
        return error;
    std::string reply;
    if (const unsigned error = writeClientRecords(selected, clients.get(), options, reply))
        return error;
    return sendListLine(line.m_connectionID, std::move(reply));
}

unsigned Parser::channelClientListCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    const uint64_t channelID = parameters.getUInt64("cid");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    const unsigned options = readOptions(parameters, kClientOptions);
    HostMemory<uint16_t> clients;
    if (const unsigned error = hostTable().getChannelClientList(selected, channelID, clients.out()))
        return error;
    std::string reply;
    if (const unsigned error = writeClientRecords(selected, clients.get(), options, reply))
        return error;
    return sendListLine(line.m_connectionID, std::move(reply));
}

unsigned Parser::channelListCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    const unsigned options = readOptions(parameters, kChannelOptions);
    HostMemory<uint64_t> channels;
    if (const unsigned error = hostTable().getChannelList(selected, channels.out()))
        return error;
    std::string reply;
    for (const uint64_t* entry = channels.get(); entry && *entry != 0; ++entry) {
        if (const unsigned error = ChannelRecordWriter(selected, *entry, reply).write(options))
            return error;
    }
    return sendListLine(line.m_connectionID, std::move(reply));
}
