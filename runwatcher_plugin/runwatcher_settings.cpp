#include "runwatcher_settings.h"

#include <QFile>
#include <memory>

#include "plugin_state.h"

QSettings& runwatcherSettings()
{
    static std::unique_ptr<QSettings> settings;
    const QString fileName = configPathString() + QStringLiteral("runwatcher.ini");
    if (!settings || settings->fileName() != fileName) {
        // Does nothing when the old file is missing or the new one exists already.
        QFile::rename(configPathString() + QStringLiteral("runwatchr.conf"), fileName);
        settings = std::make_unique<QSettings>(fileName, QSettings::IniFormat);
    }
    return *settings;
}
