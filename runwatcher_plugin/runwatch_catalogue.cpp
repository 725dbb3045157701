// RunwatchManager: the catalogue apps.ini and the per-application opt-outs in runwatcher.ini.
#include <QFileInfo>
#include "catalogue_lock.h"
#include <QSettings>

#include "decimal_number.h"
#include "host_calls.h"
#include "plugin_state.h"
#include "runwatch_manager.h"
#include "runwatcher_settings.h"

namespace {

const QString kRunwatcherGroup = QStringLiteral("Runwatcher");
// The broadcast switch lives in the same group as the opt-outs.
const QString kSwitchKey = QStringLiteral("Enabled");

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

}  // namespace

bool RunwatchManager::loadApps()
{
    CatalogueLock lock(mutex);
    char folder[kPathBufferSize];
    host::pluginPath(folder, sizeof folder);
    const QString path = QString::fromUtf8(folder) + pluginFolderName + QStringLiteral("/apps.ini");
    if (!QFileInfo(path).isFile()) {
        return false;
    }

    QSettings catalogue(path, QSettings::IniFormat);
    const QStringList groups = catalogue.childGroups();
    if (groups.contains(QStringLiteral("Categories"))) {
        catalogue.beginGroup(QStringLiteral("Categories"));
        const QStringList keys = catalogue.childKeys();
        for (const QString& key : keys) {
            quint16 number = 0;
            if (parseDecimal16(key, &number)) {
                categories[number] = catalogue.value(key).toString();
            }
        }
        catalogue.endGroup();
    }

    QSettings& settings = runwatcherSettings();
    settings.beginGroup(kRunwatcherGroup);
    int counter = 0;
    for (const QString& group : groups) {
        const int id = counter++;
        catalogue.beginGroup(group);
        if (catalogue.contains(QStringLiteral("binary_linux"))) {
            if (group == kSwitchKey) {
                host::log(QStringLiteral("Skipped the application \"%1\" of apps.ini: its name is reserved for the "
                                         "broadcast switch")
                              .arg(group),
                          host::LogWarning, "RunwatcherPlugin", 0);
            } else {
                auto* entry = new AppEntry;
                entry->name = group;
                entry->binaries = toSet(catalogue.value(QStringLiteral("binary_linux")).toStringList());
                entry->files = toSet(catalogue.value(QStringLiteral("files_linux")).toStringList());
                entry->enabled = settings.value(group, true).toBool();
                entry->category = static_cast<quint16>(catalogue.value(QStringLiteral("category")).toUInt() & 0xFFFF);
                apps.insert(id, entry);
            }
        }
        catalogue.endGroup();
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
