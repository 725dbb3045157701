// Test support shared by the tests of every program (library vxm_testsupport): the wait that runs
// Qt's event loop, and small file helpers. The GoogleTest main() with a Qt application object is the
// library vxm_gtest_qt_main (QApplication) or vxm_gtest_qtcore_main (QCoreApplication), see
// gtest_qt_main.cpp.
#pragma once

#include "wait_until.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <ostream>

// Readable values in GoogleTest's failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os)
{
    *os << '[' << l.join(" | ").toStdString() << ']';
}
QT_END_NAMESPACE

namespace testsupport {

// Runs the event loop (deleting what deleteLater left behind) until `done` holds or `timeoutMs` has
// passed; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Processes the events that are queued now (queued signals, deferred deletes) without waiting.
void drainEvents();

// A fresh folder under the test's TMPDIR (each test program gets its own TMPDIR).
QString makeTempFolder(const QString& name);

// Writes `text` to `path` (creating the parent folders); false on failure.
bool writeFile(const QString& path, const QByteArray& text);

// A whole file; a null array when it cannot be opened.
QByteArray readFile(const QString& path);

// Every entry below `root` by relative path: "file <mode> <md5>", "dir <mode>" or "link <target>".
// Only the entries that `include` takes (all without it).
QMap<QString, QString> treeSnapshot(const QString& root,
                                    const std::function<bool(const QString& relative)>& include = {});

} // namespace testsupport
