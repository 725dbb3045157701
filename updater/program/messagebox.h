#pragma once

#include <QMessageBox>

// Shows a modal message box and returns the button that closed it. Return presses `defaultButton`;
// without one Qt makes the first button the default. The text is plain text unless `format` says
// otherwise (texts of the program's own only: a text from outside is never taken as rich text).
//
// Tests of the real program run it without anybody to press a button: when the environment
// variable VXM_UPDATE_NO_DIALOGS is set, no box is shown; "<title>: <text>" is written to standard
// error and `unattendedAnswer` is returned as if it had been pressed.
QMessageBox::StandardButton showMessageBox(QMessageBox::Icon icon, QWidget* parent, const QString& title,
                                           const QString& text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                           QMessageBox::StandardButton unattendedAnswer = QMessageBox::Ok,
                                           QMessageBox::StandardButton defaultButton = QMessageBox::NoButton,
                                           Qt::TextFormat format = Qt::PlainText);

// Nobody is there to answer a box (VXM_UPDATE_NO_DIALOGS is set).
bool withoutDialogs();
