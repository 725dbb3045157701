#include "initext.h"

#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTextCodec>

// The reading rules below are QSettings' own for INI files (lines, sections, escaped keys, quoted
// and escaped values); only the splitting of a value at its commas can be left out.

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
}

// One logical line from `pos` on (continuations and quoted line breaks included, a comment cut
// off); false at the end of the data.
bool nextLine(const QByteArray& data, int& pos, int& start, int& length, int& equals)
{
    const int size = data.size();
    bool inQuotes = false;
    equals = -1;
    start = pos;
    while (start < size && isBlank(data.at(start)))
        ++start;
    int i = start;
    while (i < size) {
        const char c = data.at(i);
        if (!isSpecial(c)) {
            ++i;
            continue;
        }
        ++i;
        if (c == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char next = data.at(i++);
                if (i < size) {
                    const char after = data.at(i);
                    if ((next == '\n' && after == '\r') || (next == '\r' && after == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else { // ';'
            if (i == start + 1) {
                while (i < size && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                while (i < size && isBlank(data.at(i)))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    length = i - start;
    return length > 0;
}

// A key or section name: '\' is '/', %XX and %UXXXX are characters.
QString unescapedKey(const QByteArray& data, int from, int to)
{
    QString result;
    int i = from;
    while (i < to) {
        const char c = data.at(i);
        if (c == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c != '%' || i == to - 1) {
            result += QLatin1Char(c);
            ++i;
            continue;
        }
        int digits = 2;
        int first = i + 1;
        if (data.at(i + 1) == 'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const ushort code = first + digits > to ? 0 : data.mid(first, digits).toUShort(&ok, 16);
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(code);
        i = first + digits;
    }
    return result;
}

int digitValue(char c, int base)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

void chopTrailingBlanks(QString& text, int limit)
{
    int n = text.size() - 1;
    while (n >= limit && (text.at(n) == QLatin1Char(' ') || text.at(n) == QLatin1Char('\t')))
        text.truncate(n--);
}

// A value: quotes, escapes, blanks at the ends. With `split`, unquoted commas separate the items
// of `items` exactly as QSettings does; without, a comma is a character like any other.
QString unescapedValue(const QByteArray& data, int from, int to, bool split, QStringList& items, QTextCodec* codec)
{
    static const char escapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'},
                                      {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QString text;
    bool inQuotes = false;
    bool quoted = false;
    int i = from;
    auto skipBlanks = [&] {
        while (i < to && (data.at(i) == ' ' || data.at(i) == '\t'))
            ++i;
    };
    skipBlanks();
    int chopLimit = 0;
    while (i < to) {
        const char c = data.at(i);
        if (c == '\\') {
            ++i;
            if (i >= to)
                break;
            const char e = data.at(i++);
            bool known = false;
            for (const auto& escape : escapes) {
                if (e == escape[0]) {
                    text += QLatin1Char(escape[1]);
                    known = true;
                    break;
                }
            }
            if (!known && ((e == 'x' && i < to && digitValue(data.at(i), 16) >= 0) || digitValue(e, 8) >= 0)) {
                // As QSettings does: a long escape wraps around, and the character is its low 16 bits.
                const uint base = e == 'x' ? 16 : 8;
                uint value = e == 'x' ? 0 : uint(e - '0');
                for (int digit; i < to && (digit = digitValue(data.at(i), int(base))) >= 0; ++i)
                    value = value * base + uint(digit);
                text += QChar(ushort(value));
            } else if (!known && (e == '\n' || e == '\r') && i < to) {
                const char after = data.at(i);
                if ((after == '\n' || after == '\r') && after != e)
                    ++i;
            }
            chopLimit = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipBlanks();
        } else if (c == ',' && split && !inQuotes) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            items << text;
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
            chopLimit = 0;
        } else {
            int j = i + 1;
            while (j < to && data.at(j) != '\\' && data.at(j) != '"' && (data.at(j) != ',' || !split))
                ++j;
            text += codec ? codec->toUnicode(data.constData() + i, j - i) : QString::fromLatin1(data.constData() + i, j - i);
            i = j;
        }
    }
    if (!quoted)
        chopTrailingBlanks(text, chopLimit);
    if (split && !items.isEmpty())
        items << text;
    return text;
}

} // namespace

QString iniText(const QSettings& settings, const QString& key, bool* asWritten)
{
    if (asWritten)
        *asWritten = true;
    const QVariant value = settings.value(key);
    if (value.userType() != QMetaType::QStringList)
        return value.toString();
    const QStringList list = value.toStringList();

    QFile file(settings.fileName());
    QByteArray data;
    if (file.open(QIODevice::ReadOnly))
        data = file.readAll();
    int pos = 0;
    QTextCodec* codec = nullptr;
    if (data.startsWith("\xef\xbb\xbf")) {
        codec = QTextCodec::codecForName("UTF-8");
        pos = 3;
    }
    const QString wanted = settings.group().isEmpty() ? key : settings.group() + QLatin1Char('/') + key;
    QString section;
    QString found;
    bool matched = false;
    int start = 0, length = 0, equals = -1;
    while (nextLine(data, pos, start, length, equals)) {
        const int end = start + length;
        if (data.at(start) == '[') {
            int close = data.indexOf(']', start);
            if (close < 0 || close >= end)
                close = end;
            const QByteArray name = data.mid(start + 1, close - start - 1).trimmed();
            if (qstricmp(name.constData(), "general") == 0) {
                section.clear();
            } else {
                section = qstricmp(name.constData(), "%general") == 0 ? QStringLiteral("General")
                                                                       : unescapedKey(name, 0, name.size());
                section += QLatin1Char('/');
            }
            continue;
        }
        if (equals < 0)
            continue;
        int keyEnd = equals;
        while (keyEnd > start && (data.at(keyEnd - 1) == ' ' || data.at(keyEnd - 1) == '\t'))
            --keyEnd;
        if (section + unescapedKey(data, start, keyEnd) != wanted)
            continue;
        // The line QSettings read is the one whose items it gave back (the last one of the key).
        QStringList items;
        unescapedValue(data, equals + 1, end, true, items, codec);
        QStringList unused;
        matched = items == list;
        if (matched)
            found = unescapedValue(data, equals + 1, end, false, unused, codec);
    }
    if (matched)
        return found;
    if (asWritten)
        *asWritten = false;
    return list.join(QLatin1Char(','));
}
