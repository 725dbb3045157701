// The plug-in's options dialog: two check boxes for ctrlport.ini. At most one exists; it deletes
// itself when it closes.
#ifndef CTRLPORT_CTRLPORTOPTIONSDIALOG_H
#define CTRLPORT_CTRLPORTOPTIONSDIALOG_H

#include "ui_ctrlportoptionsdialog.h"

#include <QDialog>

class CtrlPortOptionsDialog : public QDialog, public Ui::CtrlPortOptionsDialog
{
    Q_OBJECT

public:
    explicit CtrlPortOptionsDialog(QWidget* parent = nullptr);
    ~CtrlPortOptionsDialog() override;

private slots:
    void onAccepted();
};

// The one existing dialog, or null.
extern CtrlPortOptionsDialog* optionsDialog;

// The existing dialog, or a new one with `parent`; the caller shows it.
CtrlPortOptionsDialog* showOptionsDialog(QWidget* parent);
// Deletes the dialog if one exists.
void closeOptionsDialog();

#endif
