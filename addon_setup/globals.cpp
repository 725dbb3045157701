#include "globals.h"

#include <QCoreApplication>
#include <QFileInfo>

QString g_packageFileName;
QString g_packageTempPath;
InstallDialog *g_installDialog = nullptr;

QString packageFilePath()
{
    static const QString filePrefix = QStringLiteral("file://");
    if (g_packageFileName.startsWith(filePrefix))
        return g_packageFileName.mid(filePrefix.size());
    return g_packageFileName;
}

QString packageBaseName()
{
    return QFileInfo(g_packageFileName).baseName();
}

QString installerText(const char *text)
{
    return QCoreApplication::translate("InstallDialog", text);
}

QString withSystemReason(const QString &text, int error)
{
    return text + QStringLiteral(": ") + qt_error_string(error);
}

QString wrappable(const QString &text)
{
    constexpr int longWord = 40;
    const QChar zeroWidthSpace(0x200B);
    QString result;
    int start = 0;
    while (start < text.size()) {
        int end = start;
        while (end < text.size() && !text.at(end).isSpace())
            ++end;
        if (end - start <= longWord) {
            result += text.midRef(start, end - start);
        } else {
            int run = 0;
            for (int i = start; i < end; ++i) {
                result += text.at(i);
                if (text.at(i) == QLatin1Char('/') || ++run == longWord) {
                    result += zeroWidthSpace;
                    run = 0;
                }
            }
        }
        for (start = end; start < text.size() && text.at(start).isSpace(); ++start)
            result += text.at(start);
    }
    return result;
}
