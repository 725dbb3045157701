#pragma once

#include "runsettings.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// The update channel of a run.
enum UpdateChannel { StableChannel = 0, BetaChannel = 1, AlphaChannel = 2 };

// The settings of one updater run, one object per process (made in main before the window).
//
// Fields are settled by parseCommandLine() (command line, update.ini [Channel], and the version
// service when no version is known) and readUpdateSettings() ([update]); tempDir is set by each
// preparation of a run through ensureTempDirectory().
//
// Command-line forms (args[0] is the program):
//   update                                   no version: the version service is asked
//   update <type> <version>                  version 0 is accepted as it is (no service query)
//   update --nouser [<type> <version> [<display name>|"#" [<news html>]]]   unattended run
// Any other form is ignored as if no arguments were given; "--nouser" with only one further
// argument ignores that argument.
class Configuration : public QObject, public RunSettings
{
    Q_OBJECT
public:
    Configuration();
    ~Configuration() override;

    // Reads [Channel] and QCoreApplication::arguments(); false when the run cannot go on (the
    // reason has been emitted as fatalError, or the user gave up the version query).
    bool parseCommandLine();
    // The same with explicit arguments (args[0] is the program).
    bool parseCommandLine(const QStringList& args);

    // [Channel]: a non-empty `alpha` selects the alpha channel and its `alphaRevno` becomes the
    // version; else `beta` (or `Beta`) selects the beta channel; else stable with version 0.
    void readChannelSettings();
    // [update]: `proxy` and `streams` (a value below 1 becomes 6).
    void readUpdateSettings();

    // clientType := args[index]; the version is args[index + 1].
    bool parseClientArguments(const QStringList& args, int index);
    // Reads `text` as a decimal version unless a version is already set (the alpha channel's);
    // on failure emits fatalError(format.arg(text)).
    bool parseVersionNumber(const QString& text, const QString& format);
    // Defaults the client type; asks the version service when no version is set.
    bool validateClientInfo();

    // An empty `dir` creates a new temporary folder; otherwise `dir` is used as it is.
    bool ensureTempDirectory(const QString& dir);
    // Creates <temp path>/voxmere_temp_<n> for the first free n from 0 to 999, exclusively and
    // with mode 0700 (an existing entry of that name, or one created by a racing updater, moves on
    // to the next number). Emits fatalError when none can be made.
    bool createTempDirectory();

    // Asks the update server's version service for the channel's (version text, display name)
    // and sets `newsHtml` to the service's news text; two empty texts when the user gave up or the
    // service names no version for the channel.
    virtual QPair<QString, QString> queryLatestVersion(int channel, QString& newsHtml);

    // clientType, tempDir and streams come with RunSettings.
    bool autoStart = false;
    int channel = StableChannel;
    int version = 0;
    QString displayName;
    QString newsHtml;
    QString proxy;

signals:
    void fatalError(QString errorMessage);
    void message(QString message);
};

// update.ini in the program folder.
QString updateIniPath();

// The record of the current run in update.ini [current]. The record is valid only when its
// version is a number, its dir and type are non-empty and the folder dir exists; otherwise
// loadSessionRecord returns false and writes none of the outputs (each of which may be null).
bool loadSessionRecord(int* version, QString* type, QString* dir);
void storeSessionRecord(int version, const QString& dir, const QString& type);
void clearSessionRecord();
