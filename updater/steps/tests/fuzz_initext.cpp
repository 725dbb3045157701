// libFuzzer target: any bytes as an INI file, every key of it read back through iniText(). Aborts
// when a plain value comes back other than QSettings gives it, or when a value given back as
// written lacks one of the items QSettings split it into (each must appear, in order: the file's
// text differs from the items only by what lies between them). The sanitizers report reads
// outside the data.
#include "initext.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

// The file every input is written to. QSettings keeps what it read of a file by name and reads it
// again when its size or time stamp changed; each input gets a time stamp of its own.
QString writeInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir folder;
    static qint64 stamp = 0;
    const QString path = folder.filePath("input.ini");
    QFile file(path);
    if (!folder.isValid() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    if (!file.setFileTime(QDateTime::fromSecsSinceEpoch(++stamp), QFileDevice::FileModificationTime))
        std::abort();
    return path;
}

bool holdsItemsInOrder(const QString& text, const QStringList& items)
{
    int from = 0;
    for (const QString& item : items) {
        const int at = text.indexOf(item, from);
        if (at < 0)
            return false;
        from = at + item.size();
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QSettings settings(writeInput(data, size), QSettings::IniFormat);
    for (const QString& key : settings.allKeys()) {
        const QVariant value = settings.value(key);
        bool asWritten = false;
        const QString text = iniText(settings, key, &asWritten);
        if (value.userType() != QMetaType::QStringList) {
            if (!asWritten || text != value.toString())
                std::abort();
        } else if (asWritten && !holdsItemsInOrder(text, value.toStringList())) {
            std::abort();
        }
    }
    return 0;
}
