#include "messagebox.h"

#include <cstdio>

QMessageBox::StandardButton showMessageBox(QMessageBox::Icon icon, QWidget* parent, const QString& title,
                                           const QString& text, QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton unattendedAnswer,
                                           QMessageBox::StandardButton defaultButton, Qt::TextFormat format)
{
    if (withoutDialogs()) {
        const QByteArray line = (title + QStringLiteral(": ") + text + QLatin1Char('\n')).toUtf8();
        std::fputs(line.constData(), stderr);
        std::fflush(stderr);
        return unattendedAnswer;
    }
    QMessageBox box(icon, title, QString(), buttons, parent);
    box.setTextFormat(format);
    box.setText(text);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool withoutDialogs()
{
    return qEnvironmentVariableIsSet("VXM_UPDATE_NO_DIALOGS");
}
