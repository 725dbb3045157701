#include "startup.h"

#include <QApplication>
#include <QLocale>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString locale = QLocale::system().name();
    QTranslator translator;
    QTranslator qtTranslator;
    translator.load(QCoreApplication::applicationDirPath() + QStringLiteral("/translations/addon_setup_tool_") + locale);
    qtTranslator.load(QCoreApplication::applicationDirPath() + QStringLiteral("/translations/qt_") + locale);
    app.installTranslator(&translator);
    app.installTranslator(&qtTranslator);
    return runInstaller(QCoreApplication::arguments());
}
