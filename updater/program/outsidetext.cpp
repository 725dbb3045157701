#include "outsidetext.h"

#include <QTextCursor>
#include <QTextEdit>

void appendPlainLine(QTextEdit* log, const QString& line)
{
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    if (!log->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
}
