#include "application_scan.h"

#include <QDir>
#include <QFileInfo>

#include "application_scan_impl_linux.h"

ApplicationScan::ApplicationScan(const QString& procRoot)
    : impl(std::make_unique<ApplicationScanImpl_Linux>(procRoot))
{
}

ApplicationScan::ApplicationScan(std::unique_ptr<ApplicationScanImpl> impl) : impl(std::move(impl)) {}

ApplicationScan::~ApplicationScan() = default;

void ApplicationScan::registerApp(int id, const QSet<QString>& binaries, const QSet<QString>& files)
{
    registry[id] = AppFiles{binaries, files};
    binaryNames.clear();
    for (const auto& entry : registry) {
        binaryNames += entry.second.binaries;
    }
}

std::set<int> ApplicationScan::findRunningApps()
{
    if (binaryNames.isEmpty()) {
        return {};
    }
    return matchExecutables(impl->scan(&binaryNames));
}

std::set<int> ApplicationScan::matchExecutables(const QSet<QString>& executables) const
{
    std::set<int> result;
    for (const QString& path : executables) {
        // The names are compared as text; only an executable whose name is catalogued is looked
        // at on disk (it must still be there, and its companions beside it).
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QString fileName = path.mid(slash + 1);
        const QDir folder(path.left(slash + 1));
        bool present = false;
        bool looked = false;
        for (const auto& [id, app] : registry) {
            if (!app.binaries.contains(fileName)) {
                continue;
            }
            if (!looked) {
                looked = true;
                present = QFileInfo(path).isFile();
            }
            if (!present) {
                break;
            }
            bool complete = true;
            for (const QString& companion : app.files) {
                if (!QFileInfo::exists(folder.filePath(companion))) {
                    complete = false;
                    break;
                }
            }
            if (complete) {
                result.insert(id);
            }
        }
    }
    return result;
}
