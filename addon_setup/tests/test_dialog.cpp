// The install dialog, driven offscreen: its form, the package information, and every flow behind
// Install with the message boxes it shows.
#include "globals.h"
#include "install.h"
#include "installdialog.h"
#include "installlock.h"
#include "startup.h"
#include "testsupport.h"
#include "urlclicklabel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QMetaMethod>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <functional>
#include <memory>

using namespace testsupport;

namespace {

// What a message box showed.
struct Box
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    bool hasParent = false;
};

// Answers the modal dialogs the code under test opens, in order: each one that shows is handed
// to the next action. A dialog that shows when no action is left is rejected and counted.
class ModalScript : public QObject
{
public:
    using Action = std::function<void(QDialog *)>;

    ModalScript() { qApp->installEventFilter(this); }
    ~ModalScript() override { qApp->removeEventFilter(this); }

    ModalScript &then(Action action)
    {
        m_actions.append(std::move(action));
        return *this;
    }
    // Answers the next message box with `button`.
    ModalScript &answer(QMessageBox::StandardButton button)
    {
        return then([this, button](QDialog *dialog) {
            auto *box = qobject_cast<QMessageBox *>(dialog);
            QVERIFY(box);
            boxes.append(Box{box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                             box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton,
                             box->parentWidget() != nullptr});
            QAbstractButton *target = box->button(button);
            QVERIFY(target);
            target->click();
        });
    }

    bool done() const { return m_actions.isEmpty(); }

    QList<Box> boxes;
    int unexpected = 0;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(object);
        if (event->type() == QEvent::Show && dialog && dialog->isModal() && !m_seen.contains(dialog)) {
            m_seen.append(dialog);
            QPointer<QDialog> guarded(dialog);
            QMetaObject::invokeMethod(
                this,
                [this, guarded] {
                    if (!guarded || !guarded->isVisible())
                        return;
                    m_seen.removeAll(guarded.data());
                    if (m_actions.isEmpty()) {
                        ++unexpected;
                        guarded->reject();
                        return;
                    }
                    m_actions.takeFirst()(guarded);
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QList<Action> m_actions;
    QList<QDialog *> m_seen;
};

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void handle(const QUrl &url) { urls.append(url); }
};

const QString pluginWarning = QStringLiteral(
    "<p>You are about to install a Plugin for your Voxmere Client.</p><p>Plugins should only be installed from "
    "trusted sources, as it is possible to inject malicious code into the Voxmere client with a plugin.</p><p>Do "
    "you trust this Plugin and want to proceed installing?</p>");
const QString activationQuestion = QStringLiteral(
    "<p>Add-On successfully installed.<br>Do you want to activate this Add-On?</p><p><strong>Please restart your "
    "Voxmere Client.</strong></p>");

} // namespace

class InstallDialogTest : public QObject
{
    Q_OBJECT

private:
    QString base;
    QString package;
    QString client;

    // A package folder with `ini` as its package.ini and the given content.
    void makePackage(const QByteArray &ini, const QList<QPair<QString, QByteArray>> &content = {})
    {
        writeTree(package, content);
        writeTree(package, {{QStringLiteral("package.ini"), ini}});
    }

    // Simulates the user typing `text` into the folder field in place of what it held.
    static void typeFolder(InstallDialog &dialog, const QString &text)
    {
        dialog.vxmPathLineEdit->selectAll();
        QTest::keyClick(dialog.vxmPathLineEdit, Qt::Key_Backspace);
        QTest::keyClicks(dialog.vxmPathLineEdit, text);
    }

    // The widget that Tab moves the focus to from `widget`.
    static QWidget *nextTabStop(QWidget *widget)
    {
        QWidget *next = widget->nextInFocusChain();
        while (next != widget && !(next->focusPolicy() & Qt::TabFocus && next->isEnabled()))
            next = next->nextInFocusChain();
        return next;
    }

    static bool fileExists(const QString &path) { return QFileInfo::exists(path); }

    // A tool tip as the user sees it.
    static QString shownText(const QString &text)
    {
        if (!Qt::mightBeRichText(text))
            return text;
        QTextDocument document;
        document.setHtml(text);
        return document.toPlainText();
    }

private slots:
    void init()
    {
        base = freshEnvironment();
        package = base + QStringLiteral("/tmp/vxmimport/Pkg");
        client = makeClientFolder(base + QStringLiteral("/client"));
        g_packageFileName = base + QStringLiteral("/Pkg.zip");
        writeTree(base, {{QStringLiteral("Pkg.zip"), "package bytes"}});
    }

    void formMatchesItsDesign()
    {
        InstallDialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("InstallDialog"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Voxmere Add-On"));
        QCOMPARE(dialog.size(), QSize(339, 460));
        QVERIFY(dialog.windowFlags() & Qt::WindowSystemMenuHint);
        QCOMPARE(dialog.windowIcon().availableSizes(), QList<QSize>{QSize(64, 64)});
        QCOMPARE(dialog.label_5->pixmap(Qt::ReturnByValue).size(), QSize(266, 60));
        QCOMPARE(dialog.label_5->alignment(), Qt::AlignCenter);
        QCOMPARE(dialog.label_5->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(dialog.changeVxmPathButton->icon().availableSizes(), QList<QSize>{QSize(16, 16)});
        QCOMPARE(dialog.changeVxmPathButton->toolTip(), QStringLiteral("Change Voxmere installation folder"));
        QCOMPARE(dialog.changeVxmPathButton->focusPolicy(), Qt::NoFocus);
        QCOMPARE(dialog.installButton->text(), QStringLiteral("Install"));
        QCOMPARE(dialog.abortButton->text(), QStringLiteral("Abort"));
        QCOMPARE(dialog.label_7->text(), QStringLiteral("Add-On will be installed in:"));
        QCOMPARE(dialog.platformNotSupportedLabel->text(),
                 QStringLiteral("This add-on is not available for your platform."));
        QCOMPARE(dialog.platformNotSupportedLabel->styleSheet(), QStringLiteral("color:red;"));

        const QList<QPair<QLabel *, QString>> labels = {
            {dialog.label_2, "Name:"},     {dialog.label_4, "Type:"},      {dialog.label, "Author:"},
            {dialog.label_3, "Version:"},  {dialog.label_8, "Platform:"},  {dialog.label_6, "Description:"}};
        const QList<QWidget *> fields = {dialog.nameLineEdit,      dialog.typeLineEdit,
                                         dialog.authorLineEdit,    dialog.versionLineEdit,
                                         dialog.platformsLineEdit, dialog.descriptionTextEdit};
        for (int row = 0; row < labels.size(); ++row) {
            const int labelRow = row == 5 ? 6 : row;
            QCOMPARE(labels[row].first->text(), labels[row].second);
            QCOMPARE(dialog.gridLayout->itemAtPosition(labelRow, 0)->widget(), labels[row].first);
            QCOMPARE(dialog.gridLayout->itemAtPosition(labelRow, 1)->widget(), fields[row]);
            QCOMPARE(fields[row]->focusPolicy(), Qt::NoFocus);
            QVERIFY(fields[row]->property("readOnly").toBool());
        }
        QCOMPARE(dialog.gridLayout->itemAtPosition(5, 1)->widget(), dialog.platformNotSupportedLabel);
        QCOMPARE(dialog.label_6->alignment() & (Qt::AlignLeft | Qt::AlignTop), Qt::AlignLeft | Qt::AlignTop);
        QVERIFY(!dialog.vxmPathLineEdit->isReadOnly());

        QCOMPARE(nextTabStop(dialog.installButton), dialog.abortButton);
        QCOMPARE(nextTabStop(dialog.abortButton), dialog.vxmPathLineEdit);

        const QMetaObject *meta = dialog.metaObject();
        QCOMPARE(meta->className(), "InstallDialog");
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 4);
        QCOMPARE(meta->method(meta->methodOffset() + 1).methodSignature(),
                 QByteArray("on_vxmPathLineEdit_textEdited(QString)"));

        // Started from a folder without the client: the field is red and Install is off.
        QCOMPARE(dialog.vxmPathLineEdit->text(), defaultClientFolder());
        QCOMPARE(dialog.vxmPathLineEdit->styleSheet(), QStringLiteral("color:red;"));
        QVERIFY(!dialog.installButton->isEnabled());
    }

    void packageInformationIsShown()
    {
        const QString author = QStringLiteral("Ann, and a co-author whose name alone would fill the field");
        makePackage("NAME=Sch\xc3\xb6n\nType=Skin\nauthor=" + author.toUtf8() + "\nVersion=1.2\n"
                    "description=\"<b>Bold</b> and plain\"\nunknown=1\n[Package]\nauthor=Nobody\n");
        InstallDialog dialog;
        dialog.setPackage(package, false);
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.nameLineEdit->text(), QStringLiteral("Sch\u00f6n"));
        QCOMPARE(dialog.typeLineEdit->text(), QStringLiteral("Skin"));
        QCOMPARE(dialog.authorLineEdit->text(), author);
        // A long text shows its start, the whole of it as tool tip.
        QCOMPARE(dialog.authorLineEdit->cursorPosition(), 0);
        QCOMPARE(shownText(dialog.authorLineEdit->toolTip()), author);
        QCOMPARE(dialog.versionLineEdit->text(), QStringLiteral("1.2"));
        QCOMPARE(dialog.descriptionTextEdit->toPlainText(), QStringLiteral("Bold and plain"));
        QCOMPARE(dialog.platformsLineEdit->text(), QString());
        QVERIFY(dialog.isPlatformSupported());
        QVERIFY(dialog.platformNotSupportedLabel->isHidden());
        // Information read and platform supported: Install is on even though the folder is wrong.
        QVERIFY(dialog.installButton->isEnabled());
    }

    // Texts of a package against the description and the tool tips: none may load what it names
    // (an image file beside the package), lay out without end or grow without bound.
    void packageTextsAreShownNotObeyed_data()
    {
        QTest::addColumn<QString>("text");
        QString nested;
        for (int i = 0; i < 40; ++i)
            nested += QStringLiteral("<table><tr><td>");
        QTest::newRow("image file") << QStringLiteral("<img src=\"IMAGE\">");
        QTest::newRow("image address") << QStringLiteral("<p><img src=\"file://IMAGE\" width=\"400\"></p>");
        QTest::newRow("style sheet") << QStringLiteral("<link rel=\"stylesheet\" href=\"IMAGE\"><b>x</b>");
        QTest::newRow("nested tables") << nested + QStringLiteral("deep");
        QTest::newRow("nested lists") << QStringLiteral("<ul><li>").repeated(40) + QStringLiteral("deep");
        QTest::newRow("tall image") << QStringLiteral("<img src=\"x\" width=\"10\" height=\"99999999999\">");
    }

    void packageTextsAreShownNotObeyed()
    {
        QFETCH(QString, text);
        QImage image(300, 300, QImage::Format_RGB32);
        image.fill(Qt::red);
        QVERIFY(image.save(base + QStringLiteral("/big.png")));
        text.replace(QStringLiteral("IMAGE"), base + QStringLiteral("/big.png"));
        const QByteArray quoted = '"' + text.toUtf8().replace("\\", "\\\\").replace('"', "\\\"") + '"';
        makePackage("name=" + quoted + "\ndescription=" + quoted + "\n");
        InstallDialog dialog;
        dialog.setPackage(package, false);
        QCOMPARE(dialog.nameLineEdit->text(), text);
        QCOMPARE(shownText(dialog.nameLineEdit->toolTip()), text);
        const QSizeF size = dialog.descriptionTextEdit->document()->size();
        // Within the field's width, and no taller than the image would be where it names one.
        QVERIFY2(size.width() <= dialog.descriptionTextEdit->viewport()->width() + 1
                     && size.height() < (text.contains(QLatin1String("IMAGE")) || text.contains(QLatin1String("big.png")) ? 300 : 2000),
                 qPrintable(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height())));
        dialog.grab();
    }

    void platformsDecideAboutInstall_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("supported");
        QTest::newRow("empty") << QByteArray("platforms=") << QStringLiteral("All") << true;
        // This platform comes first, however long the list.
        QTest::newRow("list") << QByteArray("platforms=win32,linux_amd64") << QStringLiteral("linux_amd64, win32") << true;
        QTest::newRow("empty items") << QByteArray("platforms=,linux_amd64,") << QStringLiteral("linux_amd64") << true;
        QTest::newRow("other") << QByteArray("platforms=linux_x86") << QStringLiteral("linux_x86") << false;
        QTest::newRow("case") << QByteArray("Platforms=Linux_AMD64, amd64") << QStringLiteral("Linux_AMD64, amd64") << false;
        // A byte order mark before the first key changes nothing.
        QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbfplatforms=win32") << QStringLiteral("win32") << false;
    }

    void platformsDecideAboutInstall()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, shown);
        QFETCH(bool, supported);
        makePackage(value + "\nname=P\n");
        InstallDialog dialog;
        dialog.setPackage(package, false);
        QCOMPARE(dialog.platformsLineEdit->text(), shown);
        QCOMPARE(dialog.platformsLineEdit->cursorPosition(), 0);
        QCOMPARE(dialog.isPlatformSupported(), supported);
        QCOMPARE(dialog.installButton->isEnabled(), supported);
        QCOMPARE(dialog.platformNotSupportedLabel->isHidden(), supported);
        QCOMPARE(dialog.platformsLineEdit->styleSheet(), supported ? QString() : QStringLiteral("color:red;"));

        // Typing a client folder turns the field normal and enables Install, whatever the platform.
        typeFolder(dialog, client);
        QCOMPARE(dialog.vxmPathLineEdit->styleSheet(), QString());
        QVERIFY(dialog.installButton->isEnabled());
        typeFolder(dialog, base);
        QCOMPARE(dialog.vxmPathLineEdit->styleSheet(), QStringLiteral("color:red;"));
        QVERIFY(!dialog.installButton->isEnabled());
    }

    void installWithoutClientFolderKeepsTheDialog()
    {
        makePackage("name=P\n", {{QStringLiteral("styles/dark.qss"), "d"}});
        InstallDialog dialog;
        dialog.setPackage(package, false);
        ModalScript script;
        script.answer(QMessageBox::Ok);
        dialog.installButton->click();
        QVERIFY(script.done());
        QCOMPARE(script.boxes.size(), 1);
        QCOMPARE(script.boxes[0].title, QStringLiteral("Error"));
        QCOMPARE(script.boxes[0].text, QStringLiteral("No Voxmere 3 Client installation directory found."));
        QCOMPARE(script.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(script.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(script.boxes[0].hasParent);
        QVERIFY(dialog.isVisible());
        QVERIFY(!fileExists(configFolder() + QStringLiteral("addons.ini")));
    }

    void emptyFolderFieldAsksForAFolder()
    {
        makePackage("name=P\n", {{QStringLiteral("styles/dark.qss"), "d"}});
        InstallDialog dialog;
        typeFolder(dialog, QString());
        dialog.setPackage(package, false);
        QVERIFY(dialog.installButton->isEnabled());

        // Cancelling the chooser ends in the folder error.
        {
        ModalScript script;
        QString caption;
        script.then([&](QDialog *chooser) {
            QVERIFY(qobject_cast<QFileDialog *>(chooser));
            caption = chooser->windowTitle();
            chooser->reject();
        });
        script.answer(QMessageBox::Ok);
        dialog.installButton->click();
        QVERIFY(script.done());
        QCOMPARE(caption, QStringLiteral("Select Voxmere Client installation folder"));
        QCOMPARE(script.boxes.value(0).text, QStringLiteral("No Voxmere 3 Client installation directory found."));
        QVERIFY(dialog.isVisible());
        }

        // Choosing the client folder installs there.
        ModalScript chosen;
        chosen.then([&](QDialog *chooser) {
            auto *files = qobject_cast<QFileDialog *>(chooser);
            QVERIFY(files);
            files->setDirectory(base);
            files->selectFile(client);
            chooser->accept();
        });
        chosen.answer(QMessageBox::Yes);
        dialog.installButton->click();
        QVERIFY(chosen.done());
        QCOMPARE(dialog.vxmPathLineEdit->text(), client);
        QCOMPARE(chosen.boxes.value(0).text, activationQuestion);
        QVERIFY(fileExists(client + QStringLiteral("/styles/dark.qss")));
        QVERIFY(!dialog.isVisible());
    }

    void pluginWarningAnsweredNoInstallsNothing()
    {
        makePackage("name=Tool\n", {{QStringLiteral("plugins/tool_linux_amd64.so"), "elf"}});
        InstallDialog dialog;
        dialog.setPackage(package, true);
        typeFolder(dialog, client);
        QSignalSpy finished(&dialog, &QDialog::finished);

        for (int attempt = 0; attempt < 2; ++attempt) {
            ModalScript script;
            script.answer(QMessageBox::No);
            dialog.installButton->click();
            QVERIFY(script.done());
            QCOMPARE(script.boxes.value(0).title, QStringLiteral("Warning"));
            QCOMPARE(script.boxes.value(0).text, pluginWarning);
            QCOMPARE(script.boxes.value(0).icon, QMessageBox::Warning);
            QCOMPARE(script.boxes.value(0).buttons, QMessageBox::Yes | QMessageBox::No);
            QCOMPARE(script.boxes.value(0).defaultButton, QMessageBox::No);
            QVERIFY(dialog.isVisible());
            QVERIFY(!fileExists(client + QStringLiteral("/plugins")));
        }
        QCOMPARE(finished.count(), 0);

        // Trusted, installed, and the activation question answered No.
        ModalScript script;
        script.answer(QMessageBox::Yes).answer(QMessageBox::No);
        dialog.installButton->click();
        QVERIFY(script.done());
        QCOMPARE(script.boxes.value(1).title, QStringLiteral("Information"));
        QCOMPARE(script.boxes.value(1).text, activationQuestion);
        QCOMPARE(script.boxes.value(1).buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(script.boxes.value(1).defaultButton, QMessageBox::Yes);
        QVERIFY(fileExists(client + QStringLiteral("/plugins/tool_linux_amd64.so")));
        QCOMPARE(QSettings(configFolder() + QStringLiteral("addons.ini"), QSettings::IniFormat)
                     .value(QStringLiteral("Pkg/Checksum"))
                     .toString(),
                 sha1sum(g_packageFileName));
        QVERIFY(!fileExists(configFolder() + QStringLiteral("addon_setup_temp.ini")));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }

    void activationAndPlainSuccessAndFailure()
    {
        {
            makePackage("name=Dark\n", {{QStringLiteral("styles/dark.qss"), "d"}});
            InstallDialog dialog;
            dialog.setPackage(package, false);
            typeFolder(dialog, client);
            ModalScript script;
            script.answer(QMessageBox::Yes);
            dialog.installButton->click();
            QVERIFY(script.done());
            QCOMPARE(QSettings(configFolder() + QStringLiteral("addon_setup_temp.ini"), QSettings::IniFormat)
                         .value(QStringLiteral("styles"))
                         .toString(),
                     QStringLiteral("dark"));
            QVERIFY(!dialog.isVisible());
        }
        {
            removeTree(package);
            makePackage("name=Plain\n", {{QStringLiteral("styles/readme.txt"), "r"}});
            InstallDialog dialog;
            dialog.setPackage(package, false);
            typeFolder(dialog, client);
            ModalScript script;
            script.answer(QMessageBox::Ok);
            dialog.installButton->click();
            QVERIFY(script.done());
            QCOMPARE(script.boxes.value(0).title, QStringLiteral("Information"));
            QCOMPARE(script.boxes.value(0).text, QStringLiteral("Add-On successfully installed."));
            QCOMPARE(script.boxes.value(0).buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QVERIFY(!dialog.isVisible());
        }
        {
            // A folder where the package has a file: the copy fails and the dialog closes.
            QFile::remove(client + QStringLiteral("/styles/readme.txt"));
            writeTree(client, {{QStringLiteral("styles/readme.txt/inside"), "x"}});
            QFile::remove(configFolder() + QStringLiteral("addons.ini"));
            InstallDialog dialog;
            dialog.setPackage(package, false);
            typeFolder(dialog, client);
            ModalScript script;
            script.answer(QMessageBox::Ok);
            dialog.installButton->click();
            QVERIFY(script.done());
            QCOMPARE(script.boxes.value(0).title, QStringLiteral("Error"));
            // With the reason.
            QVERIFY(script.boxes.value(0).text.startsWith(QStringLiteral("Failed to install Add-On.\nCannot write ")));
            QCOMPARE(script.boxes.value(0).icon, QMessageBox::Critical);
            QVERIFY(!dialog.isVisible());
            QVERIFY(!fileExists(configFolder() + QStringLiteral("addons.ini")));
        }
    }

    void timersClickInstallAndCloseAnEmptyDialog()
    {
        makePackage("name=Dark\n", {{QStringLiteral("styles/dark.qss"), "d"}});
        InstallDialog dialog;
        dialog.setPackage(package, false);
        typeFolder(dialog, client);
        ModalScript script;
        script.answer(QMessageBox::No);
        dialog.scheduleInstallClick();
        QTRY_VERIFY_WITH_TIMEOUT(script.done(), 10000);
        QVERIFY(fileExists(client + QStringLiteral("/styles/dark.qss")));

        // Without a package the dialog closes itself after a second.
        InstallDialog empty;
        empty.show();
        empty.setPackage(QString(), false);
        QVERIFY(!empty.installButton->isEnabled());
        QSignalSpy finished(&empty, &QDialog::finished);
        QVERIFY(finished.wait(10000));
        QVERIFY(!empty.isVisible());
    }

    void bannerOpensTheCatalogueOnLeftClick()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "handle");
        InstallDialog dialog;
        QTest::mouseClick(dialog.label_5, Qt::RightButton);
        QVERIFY(catcher.urls.isEmpty());
        QTest::mouseClick(dialog.label_5, Qt::LeftButton);
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl(QString::fromLatin1(UrlClickLabel::catalogueUrl))});
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }

    void startupRoads()
    {
        // The dialog road: a forced run on an earlier extraction. The automatic click finds no
        // client installation in the program folder; the user then aborts.
        makePackage("name=Dark\n", {{QStringLiteral("styles/dark.qss"), "d"}});
        craftZip(g_packageFileName, QStringLiteral(R"([{"name": "styles/dark.qss", "data": "d"}])"));
        ModalScript script;
        script.answer(QMessageBox::Ok);
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (script.boxes.size() == 1 && g_installDialog && g_installDialog->isVisible())
                g_installDialog->abortButton->click();
        });
        closer.start(10);
        QCOMPARE(runInstaller({QStringLiteral("addon_setup"), g_packageFileName, QStringLiteral("force")}), 0);
        QCOMPARE(script.boxes.value(0).text, QStringLiteral("No Voxmere 3 Client installation directory found."));
        QVERIFY(!fileExists(package));
        closer.stop();

        // An extraction failure on the dialog road is shown in a box without parent.
        ModalScript failure;
        failure.answer(QMessageBox::Ok);
        QCOMPARE(runInstaller({QStringLiteral("addon_setup"), QStringLiteral("force")}), 1);
        QVERIFY(failure.done());
        QCOMPARE(failure.boxes.value(0).title, QStringLiteral("Error"));
        QCOMPARE(failure.boxes.value(0).text, QStringLiteral("Failed to extract Add-On:\nFile not found: "));
        QVERIFY(!failure.boxes.value(0).hasParent);

        // The silent road shows nothing.
        ModalScript none;
        QCOMPARE(runInstaller({QStringLiteral("addon_setup"), QStringLiteral("-silent"), QStringLiteral("force")}), 1);
        QCOMPARE(runInstaller({QStringLiteral("addon_setup"), QStringLiteral("-silent")}), 1);
        QCOMPARE(runInstaller({QStringLiteral("addon_setup")}), 1);
        QCOMPARE(none.unexpected, 0);
    }

    void aRunWaitsWhileAnotherInstalls()
    {
        // Another run holds the lock: this one says that it waits, and goes on when it ends.
        auto other = std::make_unique<InstallLock>();
        QString error;
        QCOMPARE(other->tryTake(error), InstallLock::Result::Taken);
        ModalScript script;
        script.then([&](QDialog *waiting) {
            QVERIFY(waiting->findChild<QProgressBar *>());
            other.reset();
        });
        script.answer(QMessageBox::Ok);
        QCOMPARE(runInstaller({QStringLiteral("addon_setup"), QStringLiteral("force")}), 1);
        QVERIFY(script.done());
        QCOMPARE(script.boxes.value(0).text, QStringLiteral("Failed to extract Add-On:\nFile not found: "));
    }

    void anOpenDialogWaitsOnlyForAnInstallation()
    {
        // An open dialog holds no lock; Install waits only for an installation that runs meanwhile.
        makePackage("name=Dark\n", {{QStringLiteral("styles/dark.qss"), "d"}});
        InstallDialog dialog;
        dialog.setPackage(package, false);
        typeFolder(dialog, client);
        QString error;
        auto other = std::make_unique<InstallLock>();
        QCOMPARE(other->tryTake(error), InstallLock::Result::Taken);
        ModalScript install;
        install.then([&](QDialog *waiting) {
            QVERIFY(waiting->findChild<QProgressBar *>());
            other.reset();
        });
        install.answer(QMessageBox::Yes);
        dialog.installButton->click();
        QVERIFY(install.done());
        QCOMPARE(readFile(client + QStringLiteral("/styles/dark.qss")), QByteArray("d"));
    }

    // On a small screen (a scale of 2 halves the offscreen 800 x 600) the dialog fits, buttons in view.
    void dialogFitsAScreenAtScaleTwo()
    {
        makePackage("name=P\nplatforms=win32,win64,mac,linux_x86\ndescription=\"" + QByteArray(3000, 'd') + "\"\n");
        QProcess probe;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
        probe.setProcessEnvironment(env);
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--fit-probe"), package});
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()), QStringLiteral("fits in 400x300, buttons in view\n"));
    }

    void unreadablePackageInfoEndsTheProcess()
    {
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--missing-info-probe"), package});
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()),
                 QStringLiteral("Error|Failed to read Add-On info.|parentless\n"));
    }
};

// Run as a child by unreadablePackageInfoEndsTheProcess: sets a package folder without
// package.ini, reports the message box on standard output and lets the dialog end the process.
static int missingInfoProbe(int argc, char **argv)
{
    QApplication app(argc, argv);
    ModalScript script;
    script.then([](QDialog *dialog) {
        auto *box = qobject_cast<QMessageBox *>(dialog);
        std::printf("%s|%s|%s\n", qPrintable(box->windowTitle()), qPrintable(box->text()),
                    box->parentWidget() ? "parent" : "parentless");
        std::fflush(stdout);
        box->button(QMessageBox::Ok)->click();
    });
    QTimer::singleShot(0, [&] {
        InstallDialog *dialog = new InstallDialog;
        dialog->setPackage(QString::fromLocal8Bit(argv[2]), false);
        std::printf("still running\n");
    });
    return app.exec();
}

// Run as a child by dialogFitsAScreenAtScaleTwo: shows the dialog for a package and says whether
// it and its buttons lie within the screen's available area.
static int fitProbe(int argc, char **argv)
{
    QApplication app(argc, argv);
    InstallDialog dialog;
    dialog.setPackage(QString::fromLocal8Bit(argv[2]), false);
    QCoreApplication::processEvents();
    const QRect available = dialog.screen()->availableGeometry();
    const QRect window = dialog.frameGeometry();
    std::printf("%s in %dx%d", window.size().boundedTo(available.size()) == window.size() ? "fits" : "too large",
                available.width(), available.height());
    bool inView = true;
    for (QWidget *button : {static_cast<QWidget *>(dialog.installButton), static_cast<QWidget *>(dialog.abortButton)})
        inView = inView && button->isVisible() && dialog.rect().contains(QRect(button->mapTo(&dialog, QPoint()), button->size())) &&
                 available.contains(QRect(button->mapToGlobal(QPoint()), button->size()));
    std::printf(", buttons %s\n", inView ? "in view" : "out of view");
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--missing-info-probe") == 0)
        return missingInfoProbe(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--fit-probe") == 0)
        return fitProbe(argc, argv);
    QApplication app(argc, argv);
    InstallDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_dialog.moc"
