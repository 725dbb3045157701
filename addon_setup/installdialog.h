#pragma once

#include "ui_installdialog.h"

#include <QDialog>
#include <QString>
#include <QStringList>

// The install dialog: shows the package's information, lets the user pick the client
// installation and installs the package there.
class InstallDialog : public QDialog, public Ui::InstallDialog
{
    Q_OBJECT

public:
    explicit InstallDialog(QWidget *parent = nullptr);
    ~InstallDialog() override;

    // Takes the extracted package folder, shows its information and the dialog. Ends the
    // process with code 1 when the package information cannot be read.
    void setPackage(const QString &packageFolder, bool hasPlugins);
    bool readPackageInfo();
    bool isPlatformSupported();
    // Presses Install after 100 ms (used for a forced run).
    void scheduleInstallClick();
    void updateFolderState();

private slots:
    void on_changeVxmPathButton_clicked();
    void on_vxmPathLineEdit_textEdited(QString text);
    void on_installButton_clicked();
    void onCheckTimeout();

private:
    bool hasPlugins;
    QString packagePath;
    QString clientFolder;
    QStringList platforms;
    // The extracted folder as setPackage found it: another run may replace it while the dialog is open.
    QByteArray packageIdentity;
};
