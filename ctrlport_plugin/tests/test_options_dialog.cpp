#include "ctrlportoptionsdialog.h"
#include "ctrlportsettings.h"
#include "recording_host.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class OptionsDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void missingFileGivesDefaults();
    void loadSettingsReadsBothKeys();
    void okWritesTheTickedBoxes();
    void cancelWritesNothing();
    void dialogShowsTheCurrentFlags();
    void oneDialogAtATime();
    void closingDeletesTheOpenDialog();
    void utf8ConfigFolder();
    void noConfigFolderWritesNothing();

private:
    QString iniPath() const { return m_dir->path() + QStringLiteral("/ctrlport.ini"); }
    void pressOk(CtrlPortOptionsDialog* dialog);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingHost> m_host;
};

void OptionsDialogTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_host = std::make_unique<RecordingHost>();
    m_host->setConfigPath(QFile::encodeName(m_dir->path() + QLatin1Char('/')).toStdString());
    openRemote = false;
    loggingEnabled = false;
}

void OptionsDialogTest::cleanup()
{
    closeOptionsDialog();
    QVERIFY(optionsDialog == nullptr);
    m_host.reset();
    m_dir.reset();
}

void OptionsDialogTest::pressOk(CtrlPortOptionsDialog* dialog)
{
    QPointer<CtrlPortOptionsDialog> guard(dialog);
    QPushButton* ok = dialog->buttonBox->button(QDialogButtonBox::Ok);
    QVERIFY(ok);
    QTest::mouseClick(ok, Qt::LeftButton);
    // It deletes itself once closed.
    QTRY_VERIFY(guard.isNull());
    QVERIFY(optionsDialog == nullptr);
}

void OptionsDialogTest::missingFileGivesDefaults()
{
    openRemote = true;
    loggingEnabled = true;
    loadSettings();
    QVERIFY(!openRemote);
    QVERIFY(!loggingEnabled);
}

void OptionsDialogTest::loadSettingsReadsBothKeys()
{
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        settings.setValue("open_remote", true);
        settings.setValue("logging_enabled", false);
    }
    loadSettings();
    QVERIFY(openRemote);
    QVERIFY(!loggingEnabled);
}

void OptionsDialogTest::okWritesTheTickedBoxes()
{
    CtrlPortOptionsDialog* dialog = showOptionsDialog(nullptr);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QTest::mouseClick(dialog->openRemoteCheckBox, Qt::LeftButton);
    QTest::mouseClick(dialog->ctrlPortLoggingCheckBox, Qt::LeftButton);
    pressOk(dialog);

    QVERIFY(openRemote);
    QVERIFY(loggingEnabled);
    QSettings written(iniPath(), QSettings::IniFormat);
    QCOMPARE(written.value("open_remote").toString(), QStringLiteral("true"));
    QCOMPARE(written.value("logging_enabled").toString(), QStringLiteral("true"));

    // A later start reads them back.
    openRemote = false;
    loggingEnabled = false;
    loadSettings();
    QVERIFY(openRemote);
    QVERIFY(loggingEnabled);
}

void OptionsDialogTest::cancelWritesNothing()
{
    QPointer<CtrlPortOptionsDialog> dialog = showOptionsDialog(nullptr);
    dialog->show();
    dialog->openRemoteCheckBox->setChecked(true);
    QTest::mouseClick(dialog->buttonBox->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    QTRY_VERIFY(dialog.isNull());
    QVERIFY(!openRemote);
    QVERIFY(!QFile::exists(iniPath()));
}

void OptionsDialogTest::dialogShowsTheCurrentFlags()
{
    loggingEnabled = true;
    CtrlPortOptionsDialog* dialog = showOptionsDialog(nullptr);
    QCOMPARE(dialog->objectName(), QStringLiteral("CtrlPortOptionsDialog"));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("CtrlPort Options"));
    QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(dialog->ctrlPortLoggingCheckBox->isChecked());
    QVERIFY(!dialog->openRemoteCheckBox->isChecked());
    QCOMPARE(dialog->findChild<QCheckBox*>("openRemoteCheckBox"), dialog->openRemoteCheckBox);
}

void OptionsDialogTest::oneDialogAtATime()
{
    QWidget parent;
    CtrlPortOptionsDialog* first = showOptionsDialog(&parent);
    first->show();
    QCOMPARE(showOptionsDialog(nullptr), first);
    QCOMPARE(first->parentWidget(), &parent);

    QPointer<CtrlPortOptionsDialog> guard(first);
    first->close();
    QTRY_VERIFY(guard.isNull());
    QVERIFY(optionsDialog == nullptr);
    CtrlPortOptionsDialog* second = showOptionsDialog(nullptr);
    QVERIFY(second != nullptr);
    QCOMPARE(optionsDialog, second);
}

void OptionsDialogTest::closingDeletesTheOpenDialog()
{
    QPointer<CtrlPortOptionsDialog> dialog = showOptionsDialog(nullptr);
    dialog->show();
    closeOptionsDialog();
    QVERIFY(dialog.isNull());
    QVERIFY(optionsDialog == nullptr);
    closeOptionsDialog();  // nothing left to close
}

void OptionsDialogTest::utf8ConfigFolder()
{
    const QString folder = m_dir->path() + QStringLiteral("/J\u00fcrgen \u2713");
    QVERIFY(QDir().mkpath(folder));
    m_host->setConfigPath((folder + QLatin1Char('/')).toUtf8().toStdString());
    CtrlPortOptionsDialog* dialog = showOptionsDialog(nullptr);
    dialog->show();
    dialog->ctrlPortLoggingCheckBox->setChecked(true);
    pressOk(dialog);
    QVERIFY(QFile::exists(folder + QStringLiteral("/ctrlport.ini")));
    loggingEnabled = false;
    loadSettings();
    QVERIFY(loggingEnabled);
}

void OptionsDialogTest::noConfigFolderWritesNothing()
{
    m_host->setConfigPath(std::string());
    const QString stray = QDir::current().filePath(QStringLiteral("ctrlport.ini"));
    QVERIFY(!QFile::exists(stray));
    CtrlPortOptionsDialog* dialog = showOptionsDialog(nullptr);
    dialog->show();
    dialog->ctrlPortLoggingCheckBox->setChecked(true);
    pressOk(dialog);
    QVERIFY(loggingEnabled);  // takes effect for this run all the same
    QVERIFY(!QFile::exists(stray));
}

QTEST_MAIN(OptionsDialogTest)
#include "test_options_dialog.moc"
