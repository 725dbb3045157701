#pragma once

// Helpers shared by the updater's tests.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMap>
#include <QString>

#include <functional>

namespace testsupport {

// Runs the event loop until `done` holds or `timeoutMs` has passed; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Processes the events that are queued now (queued signals, deferred deletes) without waiting.
void drainEvents();

// A fresh folder under the test's TMPDIR (each test program gets its own TMPDIR).
QString makeTempFolder(const QString& name);

// Writes `text` to `path` (creating the parent folders); false on failure.
bool writeFile(const QString& path, const QByteArray& text);

// Every entry below `root` by relative path: "file <mode> <md5>", "dir <mode>" or "link <target>".
// Only the entries that `include` takes (all without it).
QMap<QString, QString> treeSnapshot(const QString& root,
                                    const std::function<bool(const QString& relative)>& include = {});

} // namespace testsupport
