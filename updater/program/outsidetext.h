#pragma once

#include "inerttextdocument.h"

#include <QString>

class QTextEdit;

// Appends `line` to `log` as a paragraph of plain text (QTextEdit::append guesses rich text).
void appendPlainLine(QTextEdit* log, const QString& line);
