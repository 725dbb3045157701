#pragma once

#include "ui_installdialog.h"

#include <QDialog>
#include <QString>
#include <QStringList>

class QScrollArea;

// The install dialog: shows the package's information, lets the user pick the client
// installation and installs the package there. It opens no larger than the screen's available
// area: the information (banner, fields, description) scrolls, the folder and the buttons stay in
// view.
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
    void makeInformationScroll();
    // Sizes the dialog for what it shows, within the screen's available area.
    void fitIntoScreen();

    bool hasPlugins;
    QString packagePath;
    QString clientFolder;
    QStringList platforms;
    QScrollArea *informationArea = nullptr;
    // The extracted folder as setPackage found it: another run may replace it while the dialog is open.
    QByteArray packageIdentity;
};
