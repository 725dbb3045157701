#include "configuration.h"
#include "messagebox.h"
#include "serverinfoquery.h"

QPair<QString, QString> Configuration::queryLatestVersion(int channel, QString& newsHtml)
{
    ServerInfoQuery query;
    // Without anybody to answer (VXM_UPDATE_NO_DIALOGS) the box counts as Abort, so the program
    // ends instead of asking forever.
    const auto askRetry = [] {
        return showMessageBox(QMessageBox::Critical, nullptr, QObject::tr("Error"),
                              QObject::tr("Failed to query latest client\nversion from update server."),
                              QMessageBox::Retry | QMessageBox::Abort, QMessageBox::Abort) != QMessageBox::Abort;
    };
    return queryLatestVersionWith(query, channel, newsHtml, askRetry);
}
