#pragma once
// Helpers of the download tests: an event loop that waits for a condition with a deadline,
// a recorder of texts, a release served by the update server stand-ins.

#include "mirrors.h"
#include "taskspecification.h"
#include "testservers.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QObject>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

namespace nettest {

// Runs the event loop until cond() holds or 30 s have passed.
inline bool waitFor(const std::function<bool()>& cond, int ms = 30000)
{
    return testsupport::waitUntil(cond, ms);
}

inline bool ended(const TaskSpecification& t)
{
    return t.hasEnded();
}

// Collects the message and error texts of any number of objects.
class Texts : public QObject
{
public:
    template <class T>
    void watch(T* object)
    {
        connect(object, &T::message, this, [this](const QString& m) { lines << m; });
    }
    template <class T>
    void watchErrors(T* object)
    {
        connect(object, &T::error, this, [this](const QString& m) { errors << m; });
    }
    bool has(const QString& text) const { return lines.contains(text); }
    bool hasPart(const QString& part) const
    {
        for (const QString& l : lines) {
            if (l.contains(part))
                return true;
        }
        return false;
    }
    QStringList lines;
    QStringList errors;
};

using testsupport::readFile;
using testsupport::writeFile;

inline QByteArray randomBytes(int n, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray out(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        out[i] = char(gen.bounded(256));
    return out;
}

struct MirrorSpec
{
    QString name;
    QString url;
    int retries;
};

// Loads the mirrors through a mirrors.ini written into dir.
inline void loadMirrors(Mirrors& mirrors, const QString& dir, const QList<MirrorSpec>& specs, int version)
{
    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(specs.size()) + "\n";
    for (int i = 0; i < specs.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=" + specs[i].name.toUtf8() + "\n";
    for (const MirrorSpec& s : specs)
        ini += "[" + s.name.toUtf8() + "]\nurl=" + s.url.toUtf8() + "\nretries=" + QByteArray::number(s.retries) + "\n";
    writeFile(dir + "/mirrors.ini", ini);
    mirrors.loadMirrorsIni(dir + "/mirrors.ini", version);
}

inline const MirrorRecord* findMirror(const Mirrors& mirrors, const QString& name)
{
    for (const MirrorRecord& m : mirrors.list()) {
        if (m.name == name)
            return &m;
    }
    return nullptr;
}

// A suite that serves one release, made by the release tool from the files it writes below the
// folder newTree() gives, through nginx and through the fault server. Every test starts with the
// fault server's counts at zero and a mirror list that always picks the first free mirror.
class ServedReleaseTest : public ::testing::Test
{
protected:
    // A fresh folder for the suite; returns where the release's files go.
    static QString newTree()
    {
        root = new QTemporaryDir;
        return root->filePath("tree");
    }

    // Makes the release from the tree and starts both servers on it.
    static void serveRelease(int version, const QStringList& releaseArgs = {})
    {
        ASSERT_TRUE(testservers::makeRelease(root->filePath("tree"), version, root->filePath("mirror"), releaseArgs));
        nginx = new testservers::ServerProcess;
        ASSERT_TRUE(nginx->startNginx(root->filePath("mirror")));
        faults = new testservers::ServerProcess;
        ASSERT_TRUE(faults->startFaultServer(root->filePath("mirror")));
    }

    static void TearDownTestSuite()
    {
        delete faults;
        delete nginx;
        delete root;
        faults = nullptr;
        nginx = nullptr;
        root = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(faults->resetStats());
        texts.watch(&mirrors);
        // Deterministic choice: always the first free mirror in the list.
        mirrors.setRandomSource([](quint32) { return 0u; });
    }

    // Requests the fault server has seen since the test began.
    int requests()
    {
        int r = -1;
        faults->stats(&r, nullptr);
        return r;
    }

    inline static QTemporaryDir* root = nullptr;
    inline static testservers::ServerProcess* nginx = nullptr;
    inline static testservers::ServerProcess* faults = nullptr;

    QNetworkAccessManager manager;
    Mirrors mirrors;
    Texts texts;
};

} // namespace nettest
