#pragma once

#include <QDialog>
#include <QString>

class QTextEdit;

// The change-log dialog of "View Changes". At most one exists at a time; it is deleted when it is
// closed. (Loading the change log from the mirrors is still to come: the dialog opens empty.)
class ChangeLogViewer : public QDialog
{
    Q_OBJECT
public:
    // Creates the viewer for `version` if none exists; in every case shows, raises and activates it.
    static void showChangeLog(QWidget* parent, const QString& version);
    // The viewer that exists, or null.
    static ChangeLogViewer* instance() { return m_instance; }

    ~ChangeLogViewer() override;

private:
    ChangeLogViewer(QWidget* parent, const QString& version);

    static ChangeLogViewer* m_instance;
    QTextEdit* textEdit;
    QString version;
};
