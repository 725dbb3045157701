// Fixture of the tests that load ctrlport_plugin.so into the stand-in client: a client folder under
// the test's TMPDIR with the plug-in's help files where the plug-in looks for them, the stand-in
// client on that folder, and the plug-in started when the test asks.
#pragma once

#include "loaded_plugin_fixture.h"
#include "telnet_test_client.h"

#include <QString>

#include <gtest/gtest.h>

#include <memory>
#include <string>

// The test's own TMPDIR.
QString tempFolder();

class LoadedPluginTest : public fakehost::LoadedPluginFixture
{
protected:
    // The client folder and the stand-in client; the plug-in is not loaded yet.
    void SetUp() override;

    // Loads and starts the plug-in; m_prefix is then its return code prefix.
    void start();
    // Waits, processing the stand-in client's events, until the telnet client has the text.
    bool waitFor(TelnetTestClient& client, const std::string& text);

    QString m_clientFolder;
    std::string m_prefix;
};
