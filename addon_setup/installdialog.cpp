#include "installdialog.h"

#include "extract.h"
#include "globals.h"
#include "install.h"
#include "installlock.h"
#include "outsidetext.h"
#include "safefs.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QStyle>
#include <QTimer>

#include <cstdlib>

namespace {

const QString ownPlatform = QStringLiteral("linux_amd64");
const QString redText = QStringLiteral("color:red;");

// A settings value as text: its bytes as UTF-8, up to the first NUL. The reader splits a value at
// unquoted commas ("Ann, Bob"); such a list comes back joined.
QString textOf(const QVariant &value)
{
    QByteArray bytes = value.userType() == QMetaType::QStringList
                           ? value.toStringList().join(QStringLiteral(", ")).toUtf8()
                           : value.toByteArray();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes);
}

// Shows the start of a text too long for its field, and the whole text as tool tip.
void showText(QLineEdit *field, const QString &text)
{
    field->setText(text);
    field->setCursorPosition(0);
    field->setToolTip(plainToolTip(text));
}

// A key as the file writes it: the reader takes a leading UTF-8 byte order mark as part of the
// first key (as Latin-1 characters), which would lose that key.
QString keyWithoutByteOrderMark(const QString &key)
{
    static const QString mark = QString::fromLatin1("\xef\xbb\xbf");
    return key.startsWith(mark) ? key.mid(mark.size()) : key;
}

} // namespace

// The images live in the static core library; the linker keeps them only when they are named.
static void initResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(addon_setup);
        return true;
    }();
    Q_UNUSED(done);
}

InstallDialog::InstallDialog(QWidget *parent)
    : QDialog(parent, Qt::WindowSystemMenuHint), hasPlugins(false)
{
    initResources();
    setupUi(this);
    // The description comes with the package: rendered by a document that loads nothing.
    descriptionTextEdit->setDocument(new InertTextDocument(descriptionTextEdit));
    makeInformationScroll();
    installButton->setEnabled(false);
    clientFolder = defaultClientFolder();
    vxmPathLineEdit->setText(clientFolder);
    updateFolderState();
    QTimer::singleShot(1000, this, &InstallDialog::onCheckTimeout);
}

InstallDialog::~InstallDialog() = default;

void InstallDialog::makeInformationScroll()
{
    informationArea = new QScrollArea(this);
    informationArea->setObjectName(QStringLiteral("informationArea"));
    informationArea->setFrameShape(QFrame::NoFrame);
    informationArea->setFocusPolicy(Qt::NoFocus);
    informationArea->setWidgetResizable(true);
    auto *information = new QWidget(informationArea);
    auto *column = new QVBoxLayout(information);
    column->setContentsMargins(0, 0, 0, 0);
    verticalLayout->removeWidget(label_5);
    verticalLayout->removeItem(gridLayout);
    gridLayout->setParent(nullptr);
    column->addWidget(label_5);
    column->addLayout(gridLayout);
    informationArea->setWidget(information);
    verticalLayout->insertWidget(0, informationArea, 1);
}

void InstallDialog::fitIntoScreen()
{
    const QScreen *shownOn = screen();
    if (!shownOn)
        return;
    // Room for the window manager's frame, which is not known before the dialog is shown.
    const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const QSize room = shownOn->availableGeometry().size() -
                       QSize(frame, frame + style()->pixelMetric(QStyle::PM_TitleBarHeight));
    // The information as wide as it asks (with room for the vertical scroll bar when the screen is
    // too low for the whole dialog) where the screen has it; only a narrower screen scrolls it
    // sideways too.
    const int scrollBar = height() > room.height() ? style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0;
    const QMargins margins = verticalLayout->contentsMargins();
    informationArea->setMinimumWidth(qMin(informationArea->widget()->minimumSizeHint().width() + scrollBar,
                                          room.width() - margins.left() - margins.right()));
    resize(size().expandedTo(minimumSizeHint()).boundedTo(room));
}

void InstallDialog::setPackage(const QString &packageFolder, bool hasPlugins)
{
    this->hasPlugins = hasPlugins;
    packagePath = packageFolder;
    packageIdentity = safefs::identityOf(packagePath);
    if (packagePath.isEmpty()) {
        installButton->setEnabled(false);
        return;
    }
    const bool infoRead = readPackageInfo();
    installButton->setEnabled(infoRead);
    if (!infoRead) {
        QMessageBox::critical(nullptr, tr("Error"), tr("Failed to read Add-On info."), QMessageBox::Ok,
                              QMessageBox::NoButton);
        std::exit(1);
    }
    if (isPlatformSupported()) {
        platformNotSupportedLabel->hide();
    } else {
        installButton->setEnabled(false);
        platformsLineEdit->setStyleSheet(redText);
    }
    fitIntoScreen();
    show();
}

bool InstallDialog::readPackageInfo()
{
    if (!QDir(packagePath).exists())
        return false;
    const QString path = QDir(packagePath).path() + QLatin1Char('/') + packageInfoName();
    if (!QFile::exists(path))
        return false;

    QSettings info(path, QSettings::IniFormat);
    info.setIniCodec("UTF-8");
    const QStringList keys = info.allKeys();
    for (const QString &key : keys) {
        const QString name = keyWithoutByteOrderMark(key).toLower();
        const QVariant value = info.value(key);
        const QString text = textOf(value);
        if (name == QLatin1String("name")) {
            showText(nameLineEdit, text);
        } else if (name == QLatin1String("author")) {
            showText(authorLineEdit, text);
        } else if (name == QLatin1String("version")) {
            showText(versionLineEdit, text);
        } else if (name == QLatin1String("type")) {
            showText(typeLineEdit, text);
        } else if (name == QLatin1String("platforms")) {
            platforms = value.toStringList();
            platforms.removeAll(QString());
            // This platform first: whether it is in a long list shows without scrolling the field.
            QStringList shown = platforms;
            if (shown.removeAll(ownPlatform) > 0)
                shown.prepend(ownPlatform);
            showText(platformsLineEdit, shown.isEmpty() ? tr("All") : shown.join(QStringLiteral(", ")));
        } else if (name == QLatin1String("description")) {
            // Rich text when it looks like it, as QTextEdit::setText would take it.
            auto *document = static_cast<InertTextDocument *>(descriptionTextEdit->document());
            if (Qt::mightBeRichText(text))
                document->setBoundedHtml(text);
            else
                document->setPlainText(text);
        }
    }
    return true;
}

bool InstallDialog::isPlatformSupported()
{
    return platforms.isEmpty() || platforms.contains(ownPlatform);
}

void InstallDialog::scheduleInstallClick()
{
    QTimer::singleShot(100, installButton, &QPushButton::click);
}

void InstallDialog::updateFolderState()
{
    const bool ok = isClientFolder(clientFolder);
    vxmPathLineEdit->setStyleSheet(ok ? QString() : redText);
    installButton->setEnabled(ok);
}

void InstallDialog::on_changeVxmPathButton_clicked()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Select Voxmere Client installation folder"),
                                                             clientFolder, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    clientFolder = folder;
    vxmPathLineEdit->setText(clientFolder);
    updateFolderState();
}

void InstallDialog::on_vxmPathLineEdit_textEdited(QString text)
{
    clientFolder = text;
    updateFolderState();
}

void InstallDialog::on_installButton_clicked()
{
    if (hasPlugins) {
        const QMessageBox::StandardButton answer = QMessageBox::warning(
            this, tr("Warning"),
            tr("<p>You are about to install a Plugin for your Voxmere Client.</p><p>Plugins should only be "
               "installed from trusted sources, as it is possible to inject malicious code into the Voxmere "
               "client with a plugin.</p><p>Do you trust this Plugin and want to proceed installing?</p>"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }

    if (clientFolder.isEmpty())
        on_changeVxmPathButton_clicked();

    if (!isClientFolder(clientFolder)) {
        QMessageBox::critical(this, tr("Error"), tr("No Voxmere 3 Client installation directory found."),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    // One installation at a time, and whatever a crash interrupted is undone first.
    InstallLock lock;
    QString why;
    if (!lock.takeWaiting(false, waitingForInstallationText(), why)) {
        if (!why.isEmpty())
            showPlainBox(this, QMessageBox::Critical, tr("Error"), wrappable(why));
        return;
    }
    QString report;
    const bool recovered = recoverInterruptedInstallation(clientFolder, report);
    if (!report.isEmpty() && recovered)
        showPlainBox(this, QMessageBox::Warning, tr("Warning"), wrappable(report));

    AddonNames addonNames;
    if (!recovered)
        why = report;
    else if (safefs::identityOf(packagePath) != packageIdentity)
        why = tr("The extracted Add-On in %1 was replaced by another run meanwhile; start the installation again.")
                  .arg(packagePath);
    if (!why.isEmpty() || !installPackage(clientFolder, packagePath, addonNames, &why)) {
        // The reason may name files of the package: plain text.
        showPlainBox(this, QMessageBox::Critical, tr("Error"), wrappable(tr("Failed to install Add-On.") + QLatin1Char('\n') + why));
    } else if (!addonNames.isEmpty()) {
        const QMessageBox::StandardButton answer = QMessageBox::information(
            this, tr("Information"),
            tr("<p>Add-On successfully installed.<br>Do you want to activate this Add-On?</p><p><strong>Please "
               "restart your Voxmere Client.</strong></p>"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer == QMessageBox::Yes)
            writeActivationList(addonNames);
    } else {
        QMessageBox::information(this, tr("Information"), tr("Add-On successfully installed."), QMessageBox::Ok,
                                 QMessageBox::NoButton);
    }
    reject();
}

void InstallDialog::onCheckTimeout()
{
    if (packagePath.isEmpty())
        close();
}
