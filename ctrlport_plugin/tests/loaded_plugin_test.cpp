#include "loaded_plugin_test.h"

#include <QDir>
#include <QFile>

#include <vector>

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
    m_host.reset(new fakehost::FakeHost(m_clientFolder));
}

void LoadedPluginTest::TearDown()
{
    if (m_host) {
        m_host->unload();
        EXPECT_EQ(std::vector<std::string>(), m_host->faults());
        m_host.reset();
    }
}

void LoadedPluginTest::start()
{
    QString error;
    ASSERT_TRUE(m_host->start(QStringLiteral(CTRLPORT_PLUGIN_FILE), "ctrlport", &error))
        << error.toStdString() << " init=" << m_host->initResult();
    m_prefix = m_host->returnCodes().at(0);
}

bool LoadedPluginTest::waitFor(TelnetTestClient& client, const std::string& text)
{
    return m_host->waitFor([&] {
        client.pump();
        return client.contains(text);
    });
}
