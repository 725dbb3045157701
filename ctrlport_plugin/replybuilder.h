// Composes the lines that the plug-in sends to telnet clients: an optional command or notification
// word, key=value parameters separated by blanks, records closed by "|", and a final trim. The line
// end is not part of the text; the connection manager adds it when it sends the line.
//
//   std::string line = startCommand("error");
//   addParam(line, "id", 0);
//   addParam(line, "msg", "ok");
//   send(finishLine(line));            // "error id=0 msg=ok"
#ifndef CTRLPORT_REPLYBUILDER_H
#define CTRLPORT_REPLYBUILDER_H

#include <cstdint>
#include <string>

std::string emptyLine();
// The name and one blank; an empty name gives an empty line.
std::string startCommand(const std::string& name);
// The token and one blank; an empty token appends nothing.
void addToken(std::string& line, const std::string& token);

// key=value and one blank; an empty text value writes the key alone, without "=". Text values are
// escaped unless `escape` is false; numbers are plain decimal, floats with four decimals.
void addParam(std::string& line, const std::string& key, const std::string& value, bool escape = true);
void addParam(std::string& line, const std::string& key, const char* value, bool escape = true);
void addParam(std::string& line, const std::string& key, int32_t value);
void addParam(std::string& line, const std::string& key, uint32_t value);
void addParam(std::string& line, const std::string& key, uint64_t value);
void addParam(std::string& line, const std::string& key, uint16_t value);
void addParam(std::string& line, const std::string& key, float value);

// Empties the line and writes the key and one blank.
void setKeyOnly(std::string& line, const std::string& key);
// Removes trailing blanks and bars, then closes the record with one "|". In place: a list of n
// records is built in time proportional to its length.
void endRecord(std::string& line);
// The line without its trailing blanks and bars: the text to send. The second form trims in place.
std::string finishLine(const std::string& line);
std::string finishLine(std::string&& line);
// True when the finished line holds neither a blank nor a bar.
bool isSingleToken(const std::string& line);
// True when the key holds only A-Z, a-z, 0-9, "_" and "-" (the empty key too).
bool isValidKey(const std::string& key);

#endif
