#include "configuration.h"

// Stand-in until the version service query is built: no version is known, so a run that needs
// one ends with exit code 1.
QPair<QString, QString> Configuration::queryLatestVersion(int channel, QString& newsHtml)
{
    Q_UNUSED(channel);
    Q_UNUSED(newsHtml);
    return {};
}
