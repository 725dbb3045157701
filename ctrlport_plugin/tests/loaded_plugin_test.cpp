#include "loaded_plugin_test.h"

#include <QDir>
#include <QFile>

QString tempFolder()
{
    const QByteArray folder = qgetenv("TMPDIR");
    return folder.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(folder);
}

void LoadedPluginTest::SetUp()
{
    m_clientFolder = tempFolder() + "/client";
    const QString helpFolder = m_clientFolder + "/plugins/ctrlport_plugin";
    ASSERT_TRUE(QDir().mkpath(helpFolder));
    const QDir source(QStringLiteral(CTRLPORT_HELP_DIR));
    for (const QString& name : source.entryList({"*.txt"}, QDir::Files)) {
        QFile::remove(helpFolder + "/" + name);
        ASSERT_TRUE(QFile::copy(source.filePath(name), helpFolder + "/" + name));
    }
    host.reset(new fakehost::FakeHost(m_clientFolder));
}

void LoadedPluginTest::start()
{
    startPlugin(QStringLiteral(CTRLPORT_PLUGIN_FILE), "ctrlport");
    ASSERT_FALSE(HasFatalFailure());
    m_prefix = host->returnCodes().at(0);
}

bool LoadedPluginTest::waitFor(TelnetTestClient& client, const std::string& text)
{
    return host->waitFor([&] {
        client.pump();
        return client.contains(text);
    });
}
