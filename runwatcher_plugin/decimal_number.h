// Plain decimal numbers in texts from other users and from the catalogue.
#ifndef RUNWATCHER_DECIMAL_NUMBER_H
#define RUNWATCHER_DECIMAL_NUMBER_H

#include <QLatin1Char>
#include <QString>
#include <QtGlobal>

// A plain decimal number from 0 to 65535 (digits only, no sign, not empty).
inline bool parseDecimal16(const QString& text, quint16* number)
{
    if (text.isEmpty()) {
        return false;
    }
    uint value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
        value = value * 10 + static_cast<uint>(c.unicode() - '0');
        if (value > 0xFFFF) {
            return false;
        }
    }
    *number = static_cast<quint16>(value);
    return true;
}

#endif
