// The hashpassword command: the Base64 text of a password's SHA-1 digest. Needs no server
// connection.
#include "parser.h"

#include "passwordhash.h"
#include "replybuilder.h"

unsigned Parser::handleHashPassword(ParamParser& parameters, QueryLine& line, uint64_t)
{
    // The value arrives unescaped, so the digest covers the password as the client meant it.
    const std::string password = parameters.getString("password");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    std::string reply = emptyLine();
    addParam(reply, "passwordhash", sha1Base64(password));
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}
