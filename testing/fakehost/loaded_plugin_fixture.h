// The GoogleTest fixture of tests that load a plug-in into the stand-in client: the test makes `host`
// on its client folder, startPlugin loads and starts the plug-in as the client does, and TearDown
// unloads it and fails the test for every fault the stand-in client recorded and for host memory not
// given back. Link vxm_fakehost and a GoogleTest main with a QApplication (vxm_gtest_qt_main).
#ifndef VXM_TESTING_LOADED_PLUGIN_FIXTURE_H
#define VXM_TESTING_LOADED_PLUGIN_FIXTURE_H

#include "fake_host.h"

#include <QString>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace fakehost {

class LoadedPluginFixture : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (!host)
            return;
        host->unload();
        EXPECT_EQ(host->outstandingAllocations(), 0u);
        for (const std::string& fault : host->faults())
            ADD_FAILURE() << fault;
        host.reset();
    }

    // Loads the plug-in file and starts it under `pluginID`.
    void startPlugin(const QString& pluginFile, const std::string& pluginID)
    {
        QString error;
        ASSERT_TRUE(host->start(pluginFile, pluginID, &error))
            << error.toStdString() << " init=" << host->initResult();
    }

    std::unique_ptr<FakeHost> host;
};

} // namespace fakehost

#endif
