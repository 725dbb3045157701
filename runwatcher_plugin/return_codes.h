// The return codes this plug-in asked the client for, so that the server's answers to them (and only
// those) are claimed as the plug-in's own.
#ifndef RUNWATCHER_RETURN_CODES_H
#define RUNWATCHER_RETURN_CODES_H

#include <QByteArray>
#include <QList>

class ReturnCodeRegistry {
public:
    // Codes that no answer ever claims are dropped oldest first beyond this many.
    static constexpr int kCapacity = 1024;

    void remember(const QByteArray& code);
    // True (and forgets the code) when the code is one of ours.
    bool claim(const char* code);
    void clear() { codes.clear(); }
    int size() const { return codes.size(); }

private:
    QList<QByteArray> codes;
};

extern ReturnCodeRegistry ownReturnCodes;

#endif
