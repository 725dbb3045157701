// Commands that read named variables of clients, channels and the server, change the own client,
// mute other clients locally and ask the server to check passwords.
#include "parser.h"

#include "parser_host.h"
#include "replybuilder.h"
#include "returncode.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Servers up to this version number cannot check passwords.
const uint64_t kLastServerWithoutPasswordCheck = 14689;

// The variables of the own client that clientupdate may change.
bool isUpdatableClientVariable(std::size_t variable)
{
    switch (variable) {
    case 1:   // client_nickname
    case 5:   // client_input_muted
    case 6:   // client_output_muted
    case 10:
    case 15:
    case 38:  // client_away
    case 39:  // client_away_message
    case 41:
    case 53:
    case 55:
    case 57:  // client_is_channel_commander
        return true;
    default:
        return false;
    }
}

std::string unknownParameterLine(const std::string& name, const char* command)
{
    return "Unknown parameter '" + name + "' to " + command;
}

} // namespace

// clientvariable and channelvariable: records of an id and variable names, each value read by
// number from the client. Nothing is sent unless every value could be read.
unsigned Parser::objectVariables(ParamParser& parameters, QueryLine& line, uint64_t selected, bool channels)
{
    const HostFunctions& host = hostTable();
    const char* const command = channels ? "channelvariable" : "clientvariable";
    const std::string idKey = channels ? "cid" : "clid";
    const auto lookup = channels ? host.lookupChannelVariableID : host.lookupClientVariableID;
    ParamParserList records(parameters);
    std::string reply;
    while (ParamParser* record = records.next()) {
        uint64_t channelID = 0;
        uint16_t clientID = 0;
        if (channels)
            channelID = record->getUInt64(idKey);
        else
            clientID = record->getUInt16(idKey);
        if (record->getError() != 0)
            return static_cast<unsigned>(record->getError());
        if (channels)
            addParam(reply, idKey, channelID);
        else
            addParam(reply, idKey, clientID);
        for (std::size_t i = 0; i < record->size(); ++i) {
            const std::string name = record->getKey(i);
            if (name == idKey || name == command)
                continue;
            size_t variable = 0;
            if (lookup(name.c_str(), &variable) != 0) {
                sendLine(line.m_connectionID, unknownParameterLine(name, command));
                return kErrorCommandRejected;
            }
            HostMemory<char> value;
            const unsigned error = channels
                                       ? host.getChannelVariableAsString(selected, channelID, variable, value.out())
                                       : host.getClientVariableAsString(selected, clientID, variable, value.out());
            if (error != 0)
                return error;
            addParam(reply, name, value.get() ? std::string(value.get()) : std::string());
        }
        endRecord(reply);
    }
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::clientVariableCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    return objectVariables(parameters, line, selected, false);
}

unsigned Parser::channelVariableCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    return objectVariables(parameters, line, selected, true);
}

unsigned Parser::serverVariableCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    const HostFunctions& host = hostTable();
    std::string reply;
    for (std::size_t i = 1; i < parameters.size(); ++i) {
        const std::string name = parameters.getKey(i);
        size_t variable = 0;
        HostMemory<char> value;
        if (host.lookupServerVariableID(name.c_str(), &variable) != 0 ||
            host.getServerVariableAsString(selected, variable, value.out()) != 0) {
            sendLine(line.m_connectionID, unknownParameterLine(name, "servervariable"));
            return kErrorCommandRejected;
        }
        addParam(reply, name, value.get() ? std::string(value.get()) : std::string());
    }
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::clientUpdateCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    const HostFunctions& host = hostTable();
    for (std::size_t i = 1; i < parameters.size(); ++i) {
        const std::string name = parameters.getKey(i);
        size_t variable = 0;
        if (host.lookupClientVariableID(name.c_str(), &variable) != 0 || !isUpdatableClientVariable(variable)) {
            sendLine(line.m_connectionID, unknownParameterLine(name, "clientupdate"));
            // What was set before the refused name still takes effect.
            host.flushOwnClientUpdates(selected, nullptr);
            return kErrorCommandRejected;
        }
        const std::string value = parameters.getValue(i);
        if (const unsigned error = host.setOwnClientVariableAsString(selected, variable, value.c_str())) {
            host.flushOwnClientUpdates(selected, nullptr);
            return error;
        }
    }
    const std::string returnCode = returnCodeFor(line.m_connectionID);
    const unsigned result = host.flushOwnClientUpdates(selected, returnCode.c_str());
    if (result == 0)
        return kResultNoLineNow;  // the server's answer brings the error line
    if (result == kResultNoLineNow)
        return kErrorOk;  // nothing changed, nothing to wait for
    return result;
}

unsigned Parser::muteCommand(ParamParser& parameters, uint64_t selected, bool mute)
{
    const auto call = mute ? hostTable().muteClients : hostTable().unmuteClients;
    std::vector<uint16_t> clients;
    ParamParserList records(parameters);
    while (ParamParser* record = records.next()) {
        const uint16_t clientID = record->getUInt16("clid");
        if (record->getError() != 0)
            return static_cast<unsigned>(record->getError());
        clients.push_back(clientID);
    }
    clients.push_back(0);
    // The client's refusal is the answer: a failure must not read as success.
    return call(selected, clients.data(), nullptr);
}

unsigned Parser::clientMuteCommand(ParamParser& parameters, QueryLine&, uint64_t selected)
{
    return muteCommand(parameters, selected, true);
}

unsigned Parser::clientUnmuteCommand(ParamParser& parameters, QueryLine&, uint64_t selected)
{
    return muteCommand(parameters, selected, false);
}

unsigned Parser::verifyServerPasswordCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    const std::string password = parameters.getString("password");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    const HostFunctions& host = hostTable();
    if (host.getServerVersionNumber(selected) <= kLastServerWithoutPasswordCheck)
        return kErrorNotSupported;
    const std::string returnCode = returnCodeFor(line.m_connectionID);
    const unsigned result = host.verifyServerPassword(selected, password.c_str(), returnCode.c_str());
    return result == 0 ? kResultNoLineNow : result;
}

unsigned Parser::verifyChannelPasswordCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    const uint64_t channelID = parameters.getUInt64("cid");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    const std::string password = parameters.getString("password");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    const HostFunctions& host = hostTable();
    if (host.getServerVersionNumber(selected) <= kLastServerWithoutPasswordCheck)
        return kErrorNotSupported;
    const std::string returnCode = returnCodeFor(line.m_connectionID);
    const unsigned result = host.verifyChannelPassword(selected, channelID, password.c_str(), returnCode.c_str());
    return result == 0 ? kResultNoLineNow : result;
}
