// RunwatchManager: the catalogue apps.ini and the per-application opt-outs in runwatcher.ini.
#include <QFile>
#include <QSettings>
#include <QTemporaryFile>
#include <QTextCodec>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "catalogue_lock.h"
#include "decimal_number.h"
#include "host_calls.h"
#include "plugin_state.h"
#include "received_lists.h"
#include "runwatch_manager.h"
#include "runwatcher_settings.h"

namespace {

const QString kRunwatcherGroup = QStringLiteral("Runwatcher");
// The broadcast switch lives in the same group as the opt-outs.
const QString kSwitchKey = QStringLiteral("Enabled");
const QString kBinaryKey = QStringLiteral("binary_linux");

QSet<QString> toSet(const QStringList& list)
{
    QSet<QString> set;
    for (const QString& item : list) {
        if (!item.isEmpty()) {
            set.insert(item);
        }
    }
    return set;
}

// Qt reads the bytes of INI group names as Latin-1 whatever the file's codec, so a name written in
// UTF-8 comes back as one character per byte. Every run of such characters that is valid UTF-8 is
// decoded; escapes such as %U00DC or %DC stay as Qt read them.
QString utf8GroupName(const QString& read)
{
    QTextCodec* utf8 = QTextCodec::codecForName("UTF-8");
    QString name;
    int i = 0;
    while (i < read.size()) {
        int end = i;
        while (end < read.size() && read.at(end).unicode() >= 0x80 && read.at(end).unicode() <= 0xFF) {
            ++end;
        }
        if (end == i) {
            name += read.at(i++);
            continue;
        }
        const QString run = read.mid(i, end - i);
        const QByteArray bytes = run.toLatin1();
        QTextCodec::ConverterState state;
        const QString decoded = utf8->toUnicode(bytes.constData(), bytes.size(), &state);
        name += state.invalidChars == 0 && state.remainingChars == 0 ? decoded : run;
        i = end;
    }
    return name;
}

// Why a name cannot be an application's (it is broadcast in the list "<id>&&<name>, <name>", of
// which receivers keep kMaxReceivedListBytes, and is a key of runwatcher.ini), or an empty text.
QString unusableNameReason(const QString& name)
{
    if (name.isEmpty()) {
        return QStringLiteral("its name is empty");
    }
    if (name.contains(QLatin1Char('/'))) {
        return QStringLiteral("its name contains \"/\", which makes it a group inside a group");
    }
    if (name.contains(QStringLiteral("&&"))) {
        return QStringLiteral("its name contains \"&&\", which separates the list it is sent in");
    }
    if (name.toUtf8().size() > kMaxReceivedListBytes) {
        return QStringLiteral("its name is longer than the %1 bytes of a list that receivers keep")
            .arg(kMaxReceivedListBytes);
    }
    if (name == kSwitchKey) {
        return QStringLiteral("its name is reserved for the broadcast switch");
    }
    return QString();
}

void logSkipped(const QString& name, const QString& reason)
{
    const int shown = 64;
    const QString quoted = name.size() > shown ? name.left(shown) + QStringLiteral("...") : name;
    host::log(QStringLiteral("Skipped the application \"%1\" of apps.ini: %2").arg(quoted, reason), host::LogWarning,
              "RunwatcherPlugin", 0);
}

// A group name with a "/" makes groups inside groups, and an empty one ("[]") a group that cannot be
// opened: the applications of such groups are out of reach, and each is logged.
void logUnreachableApplications(const QSettings& catalogue)
{
    const QString suffix = QLatin1Char('/') + kBinaryKey;
    for (const QString& key : catalogue.allKeys()) {
        if (key.endsWith(suffix)) {
            const QString name = utf8GroupName(key.chopped(suffix.size()));
            if (name.isEmpty() || name.contains(QLatin1Char('/'))) {
                logSkipped(name, unusableNameReason(name));
            }
        }
    }
}

// Opens the catalogue file (a regular file only: a FIFO would wait for a writer) and gives its
// stamp: which file, and when it last changed; the same stamp means the same text.
bool openCatalogue(const QString& path, QFile* file, QByteArray* stamp)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    stamp->clear();
    for (const qint64 part : {qint64(info.st_dev), qint64(info.st_ino), qint64(info.st_size), qint64(info.st_mtim.tv_sec),
                              qint64(info.st_mtim.tv_nsec), qint64(info.st_ctim.tv_sec), qint64(info.st_ctim.tv_nsec)}) {
        stamp->append(reinterpret_cast<const char*>(&part), sizeof part);
    }
    return true;
}

// The first part of the catalogue, within kMaxCatalogueBytes (cut after its last whole line),
// without a leading UTF-8 byte order mark.
QByteArray readCatalogue(QFile& file)
{
    QByteArray data = file.read(kMaxCatalogueBytes + 1);
    if (data.size() > kMaxCatalogueBytes) {
        const int lineEnd = data.lastIndexOf('\n', kMaxCatalogueBytes - 1);
        data.truncate(lineEnd >= 0 ? lineEnd + 1 : kMaxCatalogueBytes);
        host::log(QStringLiteral("apps.ini is larger than %1 bytes: only its first %2 bytes are read")
                      .arg(kMaxCatalogueBytes)
                      .arg(data.size()),
                  host::LogWarning, "RunwatcherPlugin", 0);
    }
    if (data.startsWith("\xef\xbb\xbf")) {
        data.remove(0, 3);  // the reader would take it for part of the first line
    }
    return data;
}

// Parses the catalogue's text into categories and applications (their `enabled` left as it is);
// false when it could not be parsed at all.
bool parseCatalogue(const QByteArray& text, QMap<quint16, QString>* categories, QHash<int, AppEntry>* apps)
{
    // The reader takes only files: the text read once goes through a private copy.
    QTemporaryFile copy;
    if (!copy.open() || copy.write(text) != text.size() || !copy.flush()) {
        host::log(QStringLiteral("apps.ini could not be read: no room for a temporary copy"), host::LogError,
                  "RunwatcherPlugin", 0);
        return false;
    }
    QSettings catalogue(copy.fileName(), QSettings::IniFormat);
    catalogue.setIniCodec("UTF-8");
    QStringList groups = catalogue.childGroups();
    if (groups.contains(QStringLiteral("Categories"))) {
        catalogue.beginGroup(QStringLiteral("Categories"));
        const QStringList keys = catalogue.childKeys();
        for (const QString& key : keys) {
            quint16 number = 0;
            if (parseDecimal16(key, &number)) {
                (*categories)[number] = catalogue.value(key).toString();
            }
        }
        catalogue.endGroup();
    }
    if (groups.size() > kMaxCatalogueGroups) {
        host::log(QStringLiteral("apps.ini has %1 groups: only the first %2 are read").arg(groups.size()).arg(kMaxCatalogueGroups),
                  host::LogWarning, "RunwatcherPlugin", 0);
        groups = groups.mid(0, kMaxCatalogueGroups);
    }

    logUnreachableApplications(catalogue);
    int counter = 0;
    for (const QString& group : groups) {
        const int id = counter++;
        const QString name = utf8GroupName(group);
        catalogue.beginGroup(group);
        if (catalogue.contains(kBinaryKey)) {
            const QString reason = unusableNameReason(name);
            if (!reason.isEmpty()) {
                logSkipped(name, reason);
            } else {
                AppEntry& entry = (*apps)[id];
                entry.name = name;
                entry.binaries = toSet(catalogue.value(kBinaryKey).toStringList());
                entry.files = toSet(catalogue.value(QStringLiteral("files_linux")).toStringList());
                entry.category = static_cast<quint16>(catalogue.value(QStringLiteral("category")).toUInt() & 0xFFFF);
            }
        }
        catalogue.endGroup();
    }
    return true;
}

}  // namespace

bool RunwatchManager::loadApps()
{
    CatalogueLock lock(mutex);
    char folder[kPathBufferSize];
    host::pluginPath(folder, sizeof folder);
    const QString path = QString::fromUtf8(folder) + pluginFolderName + QStringLiteral("/apps.ini");
    QFile file;
    QByteArray stamp;
    if (!openCatalogue(path, &file, &stamp)) {
        parsed = ParsedCatalogue();
        return false;
    }
    // Read and parsed once per change of the file; a reload of the same file only reads the
    // opt-outs again.
    if (stamp != parsed.stamp) {
        parsed = ParsedCatalogue();
        if (parseCatalogue(readCatalogue(file), &parsed.categories, &parsed.apps)) {
            parsed.stamp = stamp;  // else the next load tries again
        }
    }
    categories = parsed.categories;
    QSettings& settings = runwatcherSettings();
    settings.beginGroup(kRunwatcherGroup);
    for (auto it = parsed.apps.cbegin(); it != parsed.apps.cend(); ++it) {
        auto* entry = new AppEntry(it.value());
        entry->enabled = settings.value(entry->name, true).toBool();
        apps.insert(it.key(), entry);
    }
    settings.endGroup();
    return !apps.isEmpty();
}

void RunwatchManager::reload()
{
    stopScanning();
    clearCatalogue();
    if (loadApps() && enabled) {
        startScanning();
    }
}

void RunwatchManager::clearCatalogue()
{
    CatalogueLock lock(mutex);
    qDeleteAll(apps);
    apps.clear();
    categories.clear();
}

bool RunwatchManager::isAppEnabled(int id) const
{
    const AppEntry* entry = apps.value(id);
    return entry && entry->enabled;
}

void RunwatchManager::setAppEnabled(int id, bool on)
{
    AppEntry* entry = apps.value(id);
    if (!entry) {
        return;
    }
    {
        CatalogueLock lock(mutex);
        entry->enabled = on;
    }
    QSettings& settings = runwatcherSettings();
    settings.beginGroup(kRunwatcherGroup);
    if (on) {
        settings.remove(entry->name);
    } else {
        settings.setValue(entry->name, false);
    }
    settings.endGroup();
    settings.sync();
}
