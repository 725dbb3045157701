#include "received_lists.h"

#include <QStringList>

#include "decimal_number.h"

ReceivedLists receivedLists;

void ReceivedLists::store(vxm_uint64 sch, vxm_uint16 clid, const QString& list) { lists[sch][clid] = list; }

void ReceivedLists::removeClient(vxm_uint64 sch, vxm_uint16 clid)
{
    auto connection = lists.find(sch);
    if (connection != lists.end()) {
        connection->remove(clid);
    }
}

void ReceivedLists::forgetConnection(vxm_uint64 sch) { lists.remove(sch); }

bool ReceivedLists::find(vxm_uint64 sch, vxm_uint16 clid, QString* list) const
{
    const auto connection = lists.constFind(sch);
    if (connection == lists.constEnd()) {
        return false;
    }
    const auto entry = connection->constFind(clid);
    if (entry == connection->constEnd()) {
        return false;
    }
    *list = *entry;
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
        if (c.category() == QChar::Other_Control) {
            continue;
        }
        const bool pair = c.isHighSurrogate() && i + 1 < list.size() && list.at(i + 1).isLowSurrogate();
        const uint ucs = pair ? QChar::surrogateToUcs4(c, list.at(i + 1)) : c.unicode();
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

void forgetConnection(vxm_uint64 sch) { receivedLists.forgetConnection(sch); }
