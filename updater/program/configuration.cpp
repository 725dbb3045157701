#include "configuration.h"

#include "initext.h"
#include "nativepath.h"
#include "programfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

const QString defaultClientType = QStringLiteral("client_linux_amd64");
const int defaultStreams = 6;

} // namespace

QString updateIniPath()
{
    return programFolder() + QStringLiteral("/update.ini");
}

Configuration::Configuration() : QObject(nullptr) {}

Configuration::~Configuration() = default;

bool Configuration::parseCommandLine()
{
    return parseCommandLine(QCoreApplication::arguments());
}

bool Configuration::parseCommandLine(const QStringList& args)
{
    readChannelSettings();
    autoStart = false;
    const int n = args.size();
    if (n <= 1)
        return validateClientInfo();

    if (args[1] != QLatin1String("--nouser")) {
        if (n == 3)
            return parseClientArguments(args, 1);
        return validateClientInfo();
    }

    if (n > 3) {
        if (!parseClientArguments(args, 2))
            return false;
        if (n > 4 && args[4] != QLatin1String("#"))
            displayName = args[4];
    }
    if (n > 5)
        newsHtml = args[5];
    if (!validateClientInfo())
        return false;
    autoStart = true;
    return true;
}

void Configuration::readChannelSettings()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = iniText(settings, QStringLiteral("alpha"));
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();
    if (!alpha.isEmpty()) {
        channel = AlphaChannel;
        version = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    } else {
        channel = beta ? BetaChannel : StableChannel;
        version = 0;
    }
}

void Configuration::readUpdateSettings()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = iniText(settings, QStringLiteral("proxy"));
    streams = settings.value(QStringLiteral("streams"), defaultStreams).toInt();
    if (streams < 1)
        streams = defaultStreams;
}

bool Configuration::parseClientArguments(const QStringList& args, int index)
{
    clientType = args.value(index);
    return parseVersionNumber(args.value(index + 1), tr("Invalid version nr (%1)"));
}

bool Configuration::parseVersionNumber(const QString& text, const QString& format)
{
    if (version != 0)
        return true;
    bool ok = false;
    version = text.toInt(&ok, 10);
    if (ok)
        return true;
    version = 0;
    emit fatalError(format.arg(text));
    return false;
}

bool Configuration::validateClientInfo()
{
    if (clientType.isEmpty())
        clientType = defaultClientType;
    if (version != 0)
        return true;
    const QPair<QString, QString> latest = queryLatestVersion(channel, newsHtml);
    if (latest.first.isEmpty())
        return false;
    if (!parseVersionNumber(latest.first, tr("Update server returned invalid version nr (%1)")))
        return false;
    displayName = latest.second;
    return true;
}

bool Configuration::ensureTempDirectory(const QString& dir)
{
    if (dir.isEmpty())
        return createTempDirectory();
    tempDir = dir;
    return true;
}

bool Configuration::createTempDirectory()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QStringLiteral("voxmere_temp_");
    for (int i = 0; i <= 999; ++i) {
        const QString candidate = base + QString::number(i);
        // mkdir fails on any existing entry, a racing updater's folder or a planted link included.
        if (::mkdir(nativePath(candidate).constData(), 0700) == 0) {
            tempDir = candidate;
            return true;
        }
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

bool loadSessionRecord(int* version, QString* type, QString* dir)
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool ok = false;
    const int recordedVersion = settings.value(QStringLiteral("version")).toInt(&ok);
    const QString recordedDir = iniText(settings, QStringLiteral("dir"));
    const QString recordedType = iniText(settings, QStringLiteral("type"));
    if (!ok || recordedDir.isEmpty() || recordedType.isEmpty() || !QDir(recordedDir).exists())
        return false;
    if (version)
        *version = recordedVersion;
    if (type)
        *type = recordedType;
    if (dir)
        *dir = recordedDir;
    return true;
}

void storeSessionRecord(int version, const QString& dir, const QString& type)
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
    settings.sync();
}

void clearSessionRecord()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.remove(QStringLiteral("current"));
    settings.sync();
}
