#include "return_codes.h"

ReturnCodeRegistry ownReturnCodes;

void ReturnCodeRegistry::remember(const QByteArray& code)
{
    if (code.isEmpty()) {
        return;
    }
    codes.append(code);
    while (codes.size() > kCapacity) {
        codes.removeFirst();
    }
}

bool ReturnCodeRegistry::claim(const char* code)
{
    if (!code || !*code) {
        return false;
    }
    const int index = codes.indexOf(QByteArray(code));
    if (index < 0) {
        return false;
    }
    codes.removeAt(index);
    return true;
}
