// The host function table of the tests of the plug-in's core: the shared TableHost (log lines,
// folders, connections, host memory), installed as the plug-in's table while it lives. One at a time.
#ifndef CTRLPORT_TESTS_RECORDING_HOST_H
#define CTRLPORT_TESTS_RECORDING_HOST_H

#include "table_host.h"

class RecordingHost : public fakehost::TableHost
{
public:
    RecordingHost();
    ~RecordingHost() override;

    // Installs table() again, e.g. after a test filled more slots.
    void install();
};

#endif
