// A temporary client installation for core tests: a plug-in folder with the plug-in's own folder,
// a configuration folder, and the recording host table pointed at both.
#ifndef RUNWATCHER_CLIENT_FOLDERS_H
#define RUNWATCHER_CLIENT_FOLDERS_H

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "host_calls.h"
#include "plugin_state.h"
#include "test_host.h"

struct ClientFolders {
    QTemporaryDir root;
    TestHost host;

    ClientFolders()
    {
        QDir(root.path()).mkpath(QStringLiteral("plugins/runwatcher_plugin"));
        QDir(root.path()).mkpath(QStringLiteral("config"));
        host.setPluginPath(plugins().toStdString());
        host.setConfigPath(config().toStdString());
        host.install();
        host::pluginPath(::pluginPath, sizeof ::pluginPath);
        host::configPath(::configPath, sizeof ::configPath);
    }

    QString plugins() const { return root.path() + QStringLiteral("/plugins/"); }
    QString config() const { return root.path() + QStringLiteral("/config/"); }
    QString cataloguePath() const { return plugins() + QStringLiteral("runwatcher_plugin/apps.ini"); }
    QString settingsPath() const { return config() + QStringLiteral("runwatcher.ini"); }

    void writeFile(const QString& path, const QByteArray& text) const
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            file.write(text);
        }
    }
    void writeCatalogue(const QByteArray& text) const { writeFile(cataloguePath(), text); }
    void writeSettings(const QByteArray& text) const { writeFile(settingsPath(), text); }
    QByteArray readSettings() const
    {
        QFile file(settingsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void useShippedCatalogue() const
    {
        QFile::remove(cataloguePath());
        QFile::copy(qEnvironmentVariable("VXM_SOURCE_DIR") + QStringLiteral("/runwatcher_plugin/apps.ini"),
                    cataloguePath());
    }
};

#endif
