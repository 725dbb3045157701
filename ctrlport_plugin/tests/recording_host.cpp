#include "recording_host.h"

#include "host.h"

RecordingHost::RecordingHost()
{
    install();
}

RecordingHost::~RecordingHost()
{
    clearHostFunctions();
}

void RecordingHost::install()
{
    setHostFunctions(table());
}
