#include "ctrlportoptionsdialog.h"

#include "ctrlportsettings.h"

CtrlPortOptionsDialog* optionsDialog = nullptr;

CtrlPortOptionsDialog::CtrlPortOptionsDialog(QWidget* parent)
    : QDialog(parent, Qt::WindowFlags())
{
    setAttribute(Qt::WA_DeleteOnClose);
    setupUi(this);
    openRemoteCheckBox->setChecked(openRemote);
    ctrlPortLoggingCheckBox->setChecked(loggingEnabled);
    connect(this, &QDialog::accepted, this, &CtrlPortOptionsDialog::onAccepted);
}

CtrlPortOptionsDialog::~CtrlPortOptionsDialog()
{
    if (optionsDialog == this)
        optionsDialog = nullptr;
}

void CtrlPortOptionsDialog::onAccepted()
{
    saveSettings(openRemoteCheckBox->isChecked(), ctrlPortLoggingCheckBox->isChecked());
}

CtrlPortOptionsDialog* showOptionsDialog(QWidget* parent)
{
    if (!optionsDialog)
        optionsDialog = new CtrlPortOptionsDialog(parent);
    return optionsDialog;
}

void closeOptionsDialog()
{
    delete optionsDialog;  // the destructor clears the pointer
}
