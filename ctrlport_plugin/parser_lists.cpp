// The list commands: clientlist, channelclientlist and channellist, answered from what the client
// knows of the selected server connection. Each record is read key by key from the client; any
// failing call stops the command before anything is sent, and every list the client handed out
// is given back on every road.
#include "parser.h"

#include "parser_host.h"
#include "replybuilder.h"

#include <cstdint>
#include <string>

namespace {

// Option groups of a client record, in the order they are written.
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

// Variable numbers of the client.
enum ClientVariable : std::size_t
{
    kClientUniqueIdentifier = 0,
    kClientNickname = 1,
    kClientFlagTalking = 4,
    kClientInputMuted = 5,
    kClientOutputMuted = 6,
    kClientInputHardware = 8,
    kClientOutputHardware = 9,
    kClientIsMuted = 16,
    kClientIsRecording = 17,
    kClientDatabaseId = 32,
    kClientChannelGroupId = 33,
    kClientServergroups = 34,
    kClientAwayFlag = 38,
    kClientAwayMessage = 39,
    kClientType = 40,
    kClientTalkPower = 42,
    kClientIsTalker = 46,
    kClientIsPrioritySpeaker = 51,
    kClientIconId = 56,
    kClientIsChannelCommander = 57,
    kClientCountry = 58
};

// Variable numbers of a channel.
enum ChannelVariable : std::size_t
{
    kChannelName = 0,
    kChannelTopicText = 1,
    kChannelCodec = 4,
    kChannelCodecQuality = 5,
    kChannelMaxclients = 6,
    kChannelMaxfamilyclients = 7,
    kChannelOrder = 8,
    kChannelFlagPermanent = 9,
    kChannelFlagSemiPermanent = 10,
    kChannelFlagDefault = 11,
    kChannelFlagPassword = 12,
    kChannelFlagAreSubscribed = 26,
    kChannelNeededTalkPower = 28,
    kChannelIconId = 31
};

bool haveClientSlots(const HostFunctions& host)
{
    return host.getChannelOfClient && host.getClientVariableAsUInt64 && host.getClientVariableAsString &&
           host.getClientVariableAsInt && host.getOwnClientID && host.getOwnClientVariableAsInt;
}

bool haveChannelSlots(const HostFunctions& host)
{
    return host.getChannelList && host.getParentChannel && host.getChannelVariableAsUInt64 &&
           host.getChannelVariableAsString && host.getChannelVariableAsInt && host.getChannelClientList;
}

// Reads variables of one client or channel from the client and writes them to a record, each as
// its key and value; a read that fails gives back the client's error and writes nothing.
template <typename Id>
class RecordValues
{
protected:
    using IntGetter = unsigned (*)(uint64_t, Id, std::size_t, int*);
    using UInt64Getter = unsigned (*)(uint64_t, Id, std::size_t, uint64_t*);
    using TextGetter = unsigned (*)(uint64_t, Id, std::size_t, char**);

    RecordValues(uint64_t schandlerid, Id id, std::string& line, IntGetter getInt, UInt64Getter getUInt64,
                 TextGetter getText)
        : m_host(hostTable()), m_sch(schandlerid), m_id(id), m_line(line), m_getInt(getInt),
          m_getUInt64(getUInt64), m_getText(getText)
    {
    }

    unsigned uint64Value(const char* key, std::size_t variable)
    {
        uint64_t value = 0;
        if (const unsigned error = m_getUInt64(m_sch, m_id, variable, &value))
            return error;
        addParam(m_line, key, value);
        return 0;
    }

    unsigned intValue(const char* key, std::size_t variable)
    {
        int value = 0;
        if (const unsigned error = m_getInt(m_sch, m_id, variable, &value))
            return error;
        addParam(m_line, key, static_cast<int32_t>(value));
        return 0;
    }

    // The int, written as its low 16 bits.
    unsigned uint16Value(const char* key, std::size_t variable)
    {
        int value = 0;
        if (const unsigned error = m_getInt(m_sch, m_id, variable, &value))
            return error;
        addParam(m_line, key, static_cast<uint16_t>(value));
        return 0;
    }

    unsigned textValue(const char* key, std::size_t variable)
    {
        HostMemory<char> text;
        if (const unsigned error = m_getText(m_sch, m_id, variable, text.out()))
            return error;
        addParam(m_line, key, text.get() ? std::string(text.get()) : std::string());
        return 0;
    }

    const HostFunctions& m_host;
    const uint64_t m_sch;
    const Id m_id;
    std::string& m_line;

private:
    const IntGetter m_getInt;
    const UInt64Getter m_getUInt64;
    const TextGetter m_getText;
};

// Writes the values of one client; each call that fails ends the record with the client's error.
class ClientRecordWriter : private RecordValues<uint16_t>
{
public:
    ClientRecordWriter(uint64_t schandlerid, uint16_t clientID, std::string& line)
        : RecordValues(schandlerid, clientID, line, hostTable().getClientVariableAsInt,
                       hostTable().getClientVariableAsUInt64, hostTable().getClientVariableAsString)
    {
    }

    unsigned write(unsigned options)
    {
        addParam(m_line, "clid", m_id);
        uint64_t channelID = 0;
        if (const unsigned error = m_host.getChannelOfClient(m_sch, m_id, &channelID))
            return error;
        addParam(m_line, "cid", channelID);
        unsigned error = uint64Value("client_database_id", kClientDatabaseId);
        if (!error)
            error = textValue("client_nickname", kClientNickname);
        if (!error)
            error = uint16Value("client_type", kClientType);
        if (!error && (options & kWithAway)) {
            error = uint16Value("client_away", kClientAwayFlag);
            if (!error)
                error = textValue("client_away_message", kClientAwayMessage);
        }
        if (!error && (options & kWithVoice))
            error = voiceValues();
        if (!error && (options & kWithUid))
            error = textValue("client_unique_identifier", kClientUniqueIdentifier);
        if (!error && (options & kWithGroups)) {
            error = textValue("client_servergroups", kClientServergroups);
            if (!error)
                error = uint64Value("client_channel_group_id", kClientChannelGroupId);
        }
        if (!error && (options & kWithIcon))
            error = intValue("client_icon_id", kClientIconId);
        if (!error && (options & kWithCountry))
            error = textValue("client_country", kClientCountry);
        if (!error)
            endRecord(m_line);
        return error;
    }

private:
    unsigned voiceValues()
    {
        // The own client's talking state is the client's own knowledge, not the server's.
        int talking = 0;
        uint16_t own = 0;
        unsigned error = 0;
        if (m_host.getOwnClientID(m_sch, &own) == 0 && own != 0 && own == m_id)
            error = m_host.getOwnClientVariableAsInt(m_sch, kClientFlagTalking, &talking);
        else
            error = m_host.getClientVariableAsInt(m_sch, m_id, kClientFlagTalking, &talking);
        if (error)
            return error;
        addParam(m_line, "client_flag_talking", static_cast<uint16_t>(talking));
        static const struct
        {
            const char* key;
            std::size_t variable;
            bool signedValue;
        } kVoice[] = {{"client_input_muted", kClientInputMuted, false},
                      {"client_output_muted", kClientOutputMuted, false},
                      {"client_input_hardware", kClientInputHardware, false},
                      {"client_output_hardware", kClientOutputHardware, false},
                      {"client_talk_power", kClientTalkPower, true},
                      {"client_is_talker", kClientIsTalker, false},
                      {"client_is_priority_speaker", kClientIsPrioritySpeaker, false},
                      {"client_is_recording", kClientIsRecording, false},
                      {"client_is_channel_commander", kClientIsChannelCommander, false},
                      {"client_is_muted", kClientIsMuted, false}};
        for (const auto& value : kVoice) {
            error = value.signedValue ? intValue(value.key, value.variable) : uint16Value(value.key, value.variable);
            if (error)
                return error;
        }
        return 0;
    }
};

// Writes the values of one channel, as ClientRecordWriter does for a client.
class ChannelRecordWriter : private RecordValues<uint64_t>
{
public:
    ChannelRecordWriter(uint64_t schandlerid, uint64_t channelID, std::string& line)
        : RecordValues(schandlerid, channelID, line, hostTable().getChannelVariableAsInt,
                       hostTable().getChannelVariableAsUInt64, hostTable().getChannelVariableAsString)
    {
    }

    unsigned write(unsigned options)
    {
        addParam(m_line, "cid", m_id);
        uint64_t parent = 0;
        if (const unsigned error = m_host.getParentChannel(m_sch, m_id, &parent))
            return error;
        addParam(m_line, "pid", parent);
        unsigned error = uint64Value("channel_order", kChannelOrder);
        if (!error)
            error = textValue("channel_name", kChannelName);
        if (!error && (options & kWithTopic))
            error = textValue("channel_topic", kChannelTopicText);
        if (!error && (options & kWithFlags)) {
            error = uint16Value("channel_flag_default", kChannelFlagDefault);
            if (!error)
                error = uint16Value("channel_flag_password", kChannelFlagPassword);
            if (!error)
                error = uint16Value("channel_flag_permanent", kChannelFlagPermanent);
            if (!error)
                error = uint16Value("channel_flag_semi_permanent", kChannelFlagSemiPermanent);
        }
        if (!error && (options & kWithChannelVoice)) {
            error = uint64Value("channel_codec", kChannelCodec);
            if (!error)
                error = uint64Value("channel_codec_quality", kChannelCodecQuality);
            if (!error)
                error = intValue("channel_needed_talk_power", kChannelNeededTalkPower);
        }
        if (!error && (options & kWithChannelIcon))
            error = intValue("channel_icon_id", kChannelIconId);
        if (!error && (options & kWithLimits)) {
            error = intValue("channel_maxclients", kChannelMaxclients);
            if (!error)
                error = intValue("channel_maxfamilyclients", kChannelMaxfamilyclients);
        }
        if (!error)
            error = subscription();
        if (!error)
            endRecord(m_line);
        return error;
    }

private:
    // The subscription flag and, for a subscribed channel, the number of its clients.
    unsigned subscription()
    {
        int subscribed = 0;
        if (const unsigned error =
                m_host.getChannelVariableAsInt(m_sch, m_id, kChannelFlagAreSubscribed, &subscribed))
            return error;
        addParam(m_line, "channel_flag_are_subscribed", static_cast<uint16_t>(subscribed));
        if (subscribed == 0)
            return 0;
        HostMemory<uint16_t> clients;
        if (const unsigned error = m_host.getChannelClientList(m_sch, m_id, clients.out()))
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

unsigned Parser::clientListCommand(ParamParser& parameters, QueryLine& line)
{
    uint64_t selected = 0;
    if (!selectedConnection(line.m_connectionID, selected))
        return kErrorNoConnectionRecord;
    const unsigned options = readOptions(parameters, kClientOptions);
    const HostFunctions& host = hostTable();
    if (!host.getClientList || !haveClientSlots(host))
        return kErrorCommandRejected;

    HostMemory<uint16_t> clients;
    if (const unsigned error = host.getClientList(selected, clients.out()))
        return error;
    std::string reply;
    if (const unsigned error = writeClientRecords(selected, clients.get(), options, reply))
        return error;
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::channelClientListCommand(ParamParser& parameters, QueryLine& line)
{
    uint64_t selected = 0;
    if (!selectedConnection(line.m_connectionID, selected))
        return kErrorNoConnectionRecord;
    const uint64_t channelID = parameters.getUInt64("cid");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    const unsigned options = readOptions(parameters, kClientOptions);
    const HostFunctions& host = hostTable();
    if (!host.getChannelClientList || !haveClientSlots(host))
        return kErrorCommandRejected;

    HostMemory<uint16_t> clients;
    if (const unsigned error = host.getChannelClientList(selected, channelID, clients.out()))
        return error;
    std::string reply;
    if (const unsigned error = writeClientRecords(selected, clients.get(), options, reply))
        return error;
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::channelListCommand(ParamParser& parameters, QueryLine& line)
{
    uint64_t selected = 0;
    if (!selectedConnection(line.m_connectionID, selected))
        return kErrorNoConnectionRecord;
    const unsigned options = readOptions(parameters, kChannelOptions);
    const HostFunctions& host = hostTable();
    if (!haveChannelSlots(host))
        return kErrorCommandRejected;

    HostMemory<uint64_t> channels;
    if (const unsigned error = host.getChannelList(selected, channels.out()))
        return error;
    std::string reply;
    for (const uint64_t* entry = channels.get(); entry && *entry != 0; ++entry) {
        if (const unsigned error = ChannelRecordWriter(selected, *entry, reply).write(options))
            return error;
    }
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}
