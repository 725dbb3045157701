#include "ctrlportsettings.h"

#include "host.h"

#include <QSettings>

const char* const kSettingsFileName = "ctrlport.ini";
const char* const kOpenRemoteKey = "open_remote";
const char* const kLoggingEnabledKey = "logging_enabled";

std::atomic<bool> openRemote{false};
std::atomic<bool> loggingEnabled{false};

QString settingsFilePath()
{
    // The client's folder is UTF-8 and ends with a separator.
    const std::string folder = hostConfigPath();
    if (folder.empty())
        return QString();
    return QString::fromUtf8(folder.data(), static_cast<int>(folder.size())) + QLatin1String(kSettingsFileName);
}

void loadSettings()
{
    const QString path = settingsFilePath();
    if (path.isEmpty()) {
        openRemote = false;
        loggingEnabled = false;
        return;
    }
    const QSettings settings(path, QSettings::IniFormat);
    openRemote = settings.value(QLatin1String(kOpenRemoteKey), false).toBool();
    loggingEnabled = settings.value(QLatin1String(kLoggingEnabledKey), false).toBool();
}

void saveSettings(bool openRemoteValue, bool loggingEnabledValue)
{
    openRemote = openRemoteValue;
    loggingEnabled = loggingEnabledValue;
    const QString path = settingsFilePath();
    // Without a configuration folder there is nowhere to keep them (never the working folder).
    if (path.isEmpty())
        return;
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(QLatin1String(kOpenRemoteKey), openRemoteValue);
    settings.setValue(QLatin1String(kLoggingEnabledKey), loggingEnabledValue);
}
