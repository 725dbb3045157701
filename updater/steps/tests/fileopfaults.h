#pragma once

// Test side of the file operations' fault injection: counts the operations of the replacement and
// delete steps, makes a chosen one fail, or holds one until the test lets it go.

#include <QString>
#include <QStringList>

namespace fileopfaults {

// Starts counting anew; the k-th operation from now on (1-based) fails, none when k is 0.
void failOperation(int k);
// Operations seen since the last failOperation(), as "<operation> <path>".
QStringList operations();
// Every operation of this kind whose path contains `pathPart` fails.
void failMatching(const char* operation, const QString& pathPart);
// The next operation of this kind whose path contains `pathPart` waits (on its own thread) until
// release() or 10 s.
void holdNext(const char* operation, const QString& pathPart = QString());
// True once a held operation has started waiting.
bool isHolding();
void release();
// No failures, no holds, counter cleared.
void clear();

} // namespace fileopfaults
