#pragma once

#include <QString>

// What the update's steps read of the settings of a run. The program's Configuration is one (it
// settles these fields); the steps see only this part of it.
struct RunSettings
{
    // The client type: "<type>.ini" is the release description.
    QString clientType;
    // The run's temporary folder: downloads land there, the replacement step takes its files there.
    QString tempDir;
    // Downloads at a time (below 1 means 6).
    int streams = 0;
};
