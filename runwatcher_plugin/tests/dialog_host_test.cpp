// The options dialog as the client opens it: vxmplugin_configure on the loaded plug-in, with the
// shipped catalogue.
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "loaded_plugin_fixture.h"

using fakehost::FakeHost;

namespace {

class ConfigureDialog : public fakehost::LoadedPluginFixture {
protected:
    QTemporaryDir root;

    QString clientFolder() const { return root.path() + "/client"; }
    QString settingsPath() const { return root.path() + "/client/config/runwatcher.ini"; }

    void SetUp() override
    {
        QDir(root.path()).mkpath("client/plugins/runwatcher_plugin");
        QDir(root.path()).mkpath("client/config");
        ASSERT_TRUE(QFile::copy(qEnvironmentVariable("VXM_SOURCE_DIR") + "/runwatcher_plugin/apps.ini",
                                clientFolder() + "/plugins/runwatcher_plugin/apps.ini"));
        host = std::make_unique<FakeHost>(clientFolder(), root.path() + "/client/config");
        startPlugin(RUNWATCHER_PLUGIN_FILE, "runwatcher_test_id");
    }

    static QTreeWidgetItem* application(QTreeWidget* tree, const QString& name)
    {
        const auto found = tree->findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? nullptr : found.first();
    }

    static QPushButton* button(QDialog* dialog, QDialogButtonBox::StandardButton which)
    {
        return dialog->findChild<QDialogButtonBox*>("buttonBox")->button(which);
    }
};

TEST_F(ConfigureDialog, OpensOnceAndStoresTheChoices)
{
    EXPECT_EQ(host->offersConfigure(), 2);
    QWidget parent;
    QWidget otherParent;
    host->configure(nullptr, &parent);
    QPointer<QDialog> dialog = parent.findChild<QDialog*>("RunwatchDialog");
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->isWindow());
    EXPECT_EQ(dialog->windowTitle(), "Application Scanner Options");

    // Open already: shown again, the second parent is ignored.
    host->configure(nullptr, &otherParent);
    EXPECT_EQ(parent.findChildren<QDialog*>().size(), 1);
    EXPECT_TRUE(otherParent.findChildren<QDialog*>().isEmpty());

    auto* tree = dialog->findChild<QTreeWidget*>("appsTreeWidget");
    auto* box = dialog->findChild<QCheckBox*>("runwatchEnabledCheckBox");
    ASSERT_TRUE(tree && box);
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(tree->isEnabled());
    EXPECT_EQ(tree->topLevelItemCount(), 10);   // every shipped category has applications
    EXPECT_TRUE(dialog->findChild<QLabel*>("totalAppsLabel")->text().endsWith(" applications"));

    box->click();
    QTreeWidgetItem* app = application(tree, "0 A.D.");
    ASSERT_TRUE(app);
    app->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(app->parent()->checkState(0), Qt::PartiallyChecked);
    button(dialog, QDialogButtonBox::Ok)->click();
    ASSERT_TRUE(host->waitFor([&] { return dialog.isNull(); }, 10000));

    QSettings stored(settingsPath(), QSettings::IniFormat);
    EXPECT_EQ(stored.value("Runwatcher/Enabled"), QVariant(true));
    EXPECT_EQ(stored.value("Runwatcher/0 A.D."), QVariant(false));
    stored.beginGroup("Runwatcher");
    EXPECT_EQ(stored.childKeys().size(), 2);

    // The next opening is built anew from the stored state.
    host->configure(nullptr, &otherParent);
    dialog = otherParent.findChild<QDialog*>("RunwatchDialog");
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->findChild<QCheckBox*>("runwatchEnabledCheckBox")->isChecked());
    tree = dialog->findChild<QTreeWidget*>("appsTreeWidget");
    EXPECT_EQ(application(tree, "0 A.D.")->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(button(dialog, QDialogButtonBox::Apply)->isEnabled());
}

TEST_F(ConfigureDialog, ReopeningWhileClosingAndShutdown)
{
    QWidget parent;
    host->configure(nullptr, &parent);
    QPointer<QDialog> first = parent.findChild<QDialog*>("RunwatchDialog");
    ASSERT_TRUE(first);
    button(first, QDialogButtonBox::Cancel)->click();

    // Opened again before the closed one is deleted: a new dialog that stays.
    host->configure(nullptr, &parent);
    const QList<QDialog*> dialogs = parent.findChildren<QDialog*>("RunwatchDialog");
    ASSERT_EQ(dialogs.size(), 2);
    QPointer<QDialog> second = dialogs.first() == first ? dialogs.last() : dialogs.first();
    EXPECT_TRUE(second->isVisible());
    ASSERT_TRUE(host->waitFor([&] { return first.isNull(); }, 10000));
    ASSERT_FALSE(second.isNull());
    EXPECT_TRUE(second->isVisible());

    // Closed, its deletion pending in the event loop: the plug-in goes first and takes it along.
    button(second, QDialogButtonBox::Ok)->click();
    host->shutdown();
    EXPECT_TRUE(second.isNull());
    QApplication::processEvents();
}

}  // namespace
