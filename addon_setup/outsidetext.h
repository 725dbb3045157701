#pragma once

#include "inerttextdocument.h"

#include <QMessageBox>
#include <QString>

// A tool tip that shows `text` as it stands (a tool tip is rich text when it looks like it).
QString plainToolTip(const QString &text);

// Shows `text` as it stands in a modal box with the one button Ok (a box's text is rich text when it
// looks like it).
void showPlainBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);
