#include "received_lists.h"

#include <QStringList>

#include "decimal_number.h"

ReceivedLists receivedLists;

void ReceivedLists::store(vxm_uint64 sch, vxm_uint16 clid, const QString& list)
{
    Connection& connection = connections[sch];
    const auto known = connection.lists.constFind(clid);
    if (known != connection.lists.constEnd()) {
        connection.byAge.erase(known->stamp);
    } else if (connection.lists.size() >= kMaxListsPerConnection) {
        const auto oldest = connection.byAge.begin();
        connection.lists.remove(oldest->second);
        connection.byAge.erase(oldest);
    }
    Entry& entry = connection.lists[clid];
    entry.text = list.toUtf8();
    entry.text.squeeze();
    entry.stamp = ++lastStamp;
    connection.byAge.emplace(entry.stamp, clid);
}

void ReceivedLists::removeClient(vxm_uint64 sch, vxm_uint16 clid)
{
    const auto connection = connections.find(sch);
    if (connection == connections.end()) {
        return;
    }
    const auto entry = connection->lists.constFind(clid);
    if (entry != connection->lists.constEnd()) {
        connection->byAge.erase(entry->stamp);
        connection->lists.erase(entry);
    }
}

void ReceivedLists::forgetConnection(vxm_uint64 sch) { connections.remove(sch); }

bool ReceivedLists::find(vxm_uint64 sch, vxm_uint16 clid, QString* list) const
{
    const auto connection = connections.constFind(sch);
    if (connection == connections.constEnd()) {
        return false;
    }
    const auto entry = connection->lists.constFind(clid);
    if (entry == connection->lists.constEnd()) {
        return false;
    }
    *list = QString::fromUtf8(entry->text);
    return true;
}

bool parseListCommand(const QString& command, vxm_uint16* clid, QString* list)
{
    const QStringList parts = command.split(QStringLiteral("&&"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() != 2) {
        return false;
    }
    const QString& idText = parts.at(0);
    quint16 id = 0;
    if (idText.size() > 5 || !parseDecimal16(idText, &id) || id == 0) {
        return false;
    }
    *clid = id;
    *list = parts.at(1);
    return true;
}

QString sanitizeReceivedList(const QString& list)
{
    QString result;
    result.reserve(qMin(list.size(), kMaxReceivedListBytes));
    int bytes = 0;
    for (int i = 0; i < list.size(); ++i) {
        const QChar c = list.at(i);
        const bool pair = c.isHighSurrogate() && i + 1 < list.size() && list.at(i + 1).isLowSurrogate();
        const uint ucs = pair ? QChar::surrogateToUcs4(c, list.at(i + 1)) : c.unicode();
        switch (QChar::category(ucs)) {
        case QChar::Other_Control:        // C0, DEL, C1
        case QChar::Other_Format:         // bidirectional controls, zero-width characters, tags
        case QChar::Separator_Line:       // U+2028
        case QChar::Separator_Paragraph:  // U+2029
            i += pair ? 1 : 0;
            continue;
        default:
            break;
        }
        const int length = ucs < 0x80 ? 1 : ucs < 0x800 ? 2 : ucs < 0x10000 ? 3 : 4;
        if (bytes + length > kMaxReceivedListBytes) {
            break;
        }
        bytes += length;
        result.append(c);
        if (pair) {
            result.append(list.at(++i));
        }
    }
    return result;
}

QString panelMarkup(const QString& list)
{
    QString text = list.toHtmlEscaped();
    text.replace(QLatin1Char('['), QStringLiteral("&#91;"));
    text.replace(QLatin1Char(']'), QStringLiteral("&#93;"));
    return text;
}

void forgetConnection(vxm_uint64 sch) { receivedLists.forgetConnection(sch); }
