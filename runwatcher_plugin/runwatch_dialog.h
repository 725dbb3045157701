// The options dialog (at most one open).
#ifndef RUNWATCHER_RUNWATCH_DIALOG_H
#define RUNWATCHER_RUNWATCH_DIALOG_H

class QDialog;
class QWidget;

// The open dialog, made with `parent` when none is open; null while the plug-in has no dialog.
QDialog* showRunwatchDialog(QWidget* parent);
// Deletes the open dialog, if any.
void deleteRunwatchDialog();

#endif
