// The options dialog against a temporary apps.ini and runwatcher.ini.
#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeWidget>
#include <memory>

#include "client_folders.h"
#include "plugin_state.h"
#include "runwatch_dialog.h"
#include "runwatch_manager.h"

namespace {

// Reader order: Alpha, Bravo, Categories, Charlie, Delta, Echo.
const QByteArray kCatalogue =
    "[Categories]\n"
    "1=Games\n"
    "2=Tools\n"
    "[Alpha]\nbinary_linux=alpha\ncategory=1\n"
    "[Bravo]\nbinary_linux=bravo\ncategory=1\n"
    "[Charlie]\nbinary_linux=charlie\ncategory=2\n"
    "[Delta]\nbinary_linux=delta\ncategory=1\n"
    "[Echo]\nbinary_linux=echo\ncategory=2\n";

QTreeWidgetItem* topLevel(QTreeWidget* tree, const QString& text)
{
    const QList<QTreeWidgetItem*> found = tree->findItems(text, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

QTreeWidgetItem* application(QTreeWidget* tree, const QString& text)
{
    const QList<QTreeWidgetItem*> found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    for (QTreeWidgetItem* item : found) {
        if (item->parent()) {
            return item;
        }
    }
    return nullptr;
}

QStringList childTexts(const QTreeWidgetItem* item)
{
    QStringList texts;
    for (int i = 0; i < item->childCount(); ++i) {
        texts.append(item->child(i)->text(0));
    }
    return texts;
}

// Clicks an item's check box the way the user does.
void clickCheck(QTreeWidget* tree, QTreeWidgetItem* item)
{
    tree->scrollToItem(item);
    QStyleOptionViewItem option;
    option.initFrom(tree->viewport());
    option.rect = tree->visualItemRect(item);
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    option.showDecorationSelected = true;
    const QRect box = tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
}

// Shows the dialog (the open one, if any) with every category expanded.
RunwatchDialog* showExpanded()
{
    RunwatchDialog* dialog = showRunwatchDialog(nullptr);
    dialog->show();
    dialog->appsTreeWidget->expandAll();
    return dialog;
}

}  // namespace

class RunwatchDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ClientFolders> client;
    std::unique_ptr<RunwatchManager> manager;

    void start(const QByteArray& catalogue, const QByteArray& settings)
    {
        client = std::make_unique<ClientFolders>();
        client->writeCatalogue(catalogue);
        client->writeSettings(settings);
        manager = std::make_unique<RunwatchManager>();
        manager->loadApps();
        runwatchManager = manager.get();
    }

    QSettings storedSettings() const { return QSettings(client->settingsPath(), QSettings::IniFormat); }

private slots:
    void cleanup()
    {
        deleteRunwatchDialog();
        runwatchManager = nullptr;
        pluginID = nullptr;
        manager.reset();
        client.reset();
    }

    void formFollowsTheSwitch()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=false\n");
        RunwatchDialog* dialog = showRunwatchDialog(nullptr);
        QVERIFY(dialog);
        QCOMPARE(dialog->objectName(), QStringLiteral("RunwatchDialog"));
        QCOMPARE(dialog->size(), QSize(462, 400));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Application Scanner Options"));
        QCOMPARE(showRunwatchDialog(nullptr), dialog);  // at most one

        QVERIFY(!dialog->runwatchEnabledCheckBox->isChecked());
        for (QWidget* w : {static_cast<QWidget*>(dialog->appsTreeWidget), static_cast<QWidget*>(dialog->runwatchReloadButton),
                           static_cast<QWidget*>(dialog->searchClearButton), static_cast<QWidget*>(dialog->runwatchSearchLabel),
                           static_cast<QWidget*>(dialog->runwatchSearchLineEdit)}) {
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        }
        QVERIFY(!dialog->isApplyEnabled());
        QVERIFY(!dialog->buttonBox->button(QDialogButtonBox::Apply)->isEnabled());
        QCOMPARE(dialog->totalAppsLabel->text(), QStringLiteral("5 applications"));

        dialog->show();
        QTest::mouseClick(dialog->runwatchEnabledCheckBox, Qt::LeftButton);
        QVERIFY(dialog->runwatchEnabledCheckBox->isChecked());
        QVERIFY(dialog->appsTreeWidget->isEnabled());
        QVERIFY(dialog->runwatchSearchLineEdit->isEnabled());
        QVERIFY(dialog->buttonBox->button(QDialogButtonBox::Apply)->isEnabled());
        QTest::mouseClick(dialog->runwatchEnabledCheckBox, Qt::LeftButton);
        QVERIFY(!dialog->buttonBox->button(QDialogButtonBox::Apply)->isEnabled());
    }

    void categoryStateFollowsItsApplications()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=true\nBravo=false\n");
        RunwatchDialog* dialog = showExpanded();
        QTreeWidget* tree = dialog->appsTreeWidget;

        QCOMPARE(tree->topLevelItemCount(), 2);
        QTreeWidgetItem* games = topLevel(tree, "Games");
        QTreeWidgetItem* tools = topLevel(tree, "Tools");
        QVERIFY(games && tools);
        QCOMPARE(tree->indexOfTopLevelItem(games), 0);
        QCOMPARE(childTexts(games), (QStringList{"Alpha", "Bravo", "Delta"}));
        QCOMPARE(childTexts(tools), (QStringList{"Charlie", "Echo"}));
        QCOMPARE(application(tree, "Alpha")->data(0, Qt::UserRole), QVariant(0));
        QCOMPARE(application(tree, "Echo")->data(0, Qt::UserRole), QVariant(5));
        QCOMPARE(games->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(tools->checkState(0), Qt::Checked);

        // A partially checked category checks all its applications when clicked.
        clickCheck(tree, games);
        QCOMPARE(games->checkState(0), Qt::Checked);
        QCOMPARE(application(tree, "Bravo")->checkState(0), Qt::Checked);
        QVERIFY(dialog->isApplyEnabled());

        clickCheck(tree, application(tree, "Delta"));
        QCOMPARE(application(tree, "Delta")->checkState(0), Qt::Unchecked);
        QCOMPARE(games->checkState(0), Qt::PartiallyChecked);

        // Unchecking a category unchecks all; checking the last application checks the category.
        clickCheck(tree, tools);
        QCOMPARE(application(tree, "Charlie")->checkState(0), Qt::Unchecked);
        QCOMPARE(application(tree, "Echo")->checkState(0), Qt::Unchecked);
        clickCheck(tree, application(tree, "Charlie"));
        QCOMPARE(tools->checkState(0), Qt::PartiallyChecked);
        clickCheck(tree, application(tree, "Echo"));
        QCOMPARE(tools->checkState(0), Qt::Checked);
    }

    void applyIsEnabledOnlyByAChange()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=true\n");
        RunwatchDialog* dialog = showExpanded();
        QTreeWidget* tree = dialog->appsTreeWidget;
        QPushButton* applyButton = dialog->buttonBox->button(QDialogButtonBox::Apply);
        QVERIFY(!applyButton->isEnabled());

        clickCheck(tree, application(tree, "Charlie"));
        QVERIFY(applyButton->isEnabled());
        clickCheck(tree, application(tree, "Charlie"));
        QVERIFY(!applyButton->isEnabled());

        // Apply stores the change, after which the same state counts as unchanged.
        clickCheck(tree, application(tree, "Charlie"));
        QTest::mouseClick(applyButton, Qt::LeftButton);
        QVERIFY(!applyButton->isEnabled());
        QVERIFY(!manager->isAppEnabled(3));
        QCOMPARE(storedSettings().value("Runwatcher/Charlie"), QVariant(false));
        QVERIFY(dialog->isVisible());
        clickCheck(tree, application(tree, "Charlie"));
        QVERIFY(applyButton->isEnabled());
    }

    void okWritesTheOptOutsAndCancelDiscards()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=true\nAlpha=false\n");
        QPointer<RunwatchDialog> dialog = showExpanded();
        QTreeWidget* tree = dialog->appsTreeWidget;
        clickCheck(tree, application(tree, "Alpha"));   // opt back in
        clickCheck(tree, application(tree, "Echo"));    // opt out
        QTest::mouseClick(dialog->buttonBox->button(QDialogButtonBox::Ok), Qt::LeftButton);
        QTRY_VERIFY(dialog.isNull());   // closed and deleted

        QSettings stored = storedSettings();
        QVERIFY(!stored.contains("Runwatcher/Alpha"));
        QCOMPARE(stored.value("Runwatcher/Echo"), QVariant(false));
        QCOMPARE(stored.value("Runwatcher/Enabled"), QVariant(true));
        QVERIFY(!stored.contains("Runwatcher/Bravo"));
        QVERIFY(manager->isAppEnabled(0));
        QVERIFY(!manager->isAppEnabled(5));

        // Cancel: nothing stored, and the next dialog shows the stored state.
        dialog = showExpanded();
        tree = dialog->appsTreeWidget;
        clickCheck(tree, application(tree, "Bravo"));
        QTest::mouseClick(dialog->runwatchEnabledCheckBox, Qt::LeftButton);
        QTest::mouseClick(dialog->buttonBox->button(QDialogButtonBox::Cancel), Qt::LeftButton);
        QTRY_VERIFY(dialog.isNull());
        QVERIFY(!storedSettings().contains("Runwatcher/Bravo"));
        QVERIFY(manager->isEnabled());

        dialog = showRunwatchDialog(nullptr);
        QVERIFY(dialog->runwatchEnabledCheckBox->isChecked());
        QCOMPARE(application(dialog->appsTreeWidget, "Bravo")->checkState(0), Qt::Checked);
        QCOMPARE(application(dialog->appsTreeWidget, "Echo")->checkState(0), Qt::Unchecked);
        QVERIFY(!dialog->isApplyEnabled());
    }

    void switchingOffStopsTheScannerAndSendsAnEmptyList()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=false\n");
        client->host.setConnections({1});
        client->host.ownIds.insert(1, 7);
        char id[] = "runwatcher-id";
        pluginID = id;
        RunwatchDialog* dialog = showRunwatchDialog(nullptr);
        dialog->show();
        QTest::mouseClick(dialog->runwatchEnabledCheckBox, Qt::LeftButton);
        QTest::mouseClick(dialog->buttonBox->button(QDialogButtonBox::Apply), Qt::LeftButton);
        QVERIFY(manager->isEnabled());
        QVERIFY(manager->isScanning());
        QCOMPARE(storedSettings().value("Runwatcher/Enabled"), QVariant(true));

        QTest::mouseClick(dialog->runwatchEnabledCheckBox, Qt::LeftButton);
        QTest::mouseClick(dialog->buttonBox->button(QDialogButtonBox::Apply), Qt::LeftButton);
        QVERIFY(!manager->isScanning());
        QCOMPARE(storedSettings().value("Runwatcher/Enabled"), QVariant(false));
        QCOMPARE(client->host.sent.size(), 1);
        QCOMPARE(client->host.sent.first().command, QStringLiteral("7&&"));
        pluginID = nullptr;
    }

    void searchHidesAndShows()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=true\n");
        RunwatchDialog* dialog = showRunwatchDialog(nullptr);
        dialog->show();
        QTreeWidget* tree = dialog->appsTreeWidget;
        QTreeWidgetItem* games = topLevel(tree, "Games");
        QTreeWidgetItem* tools = topLevel(tree, "Tools");

        QTest::keyClicks(dialog->runwatchSearchLineEdit, "LT");   // Delta only, any case
        QVERIFY(application(tree, "Alpha")->isHidden());
        QVERIFY(application(tree, "Bravo")->isHidden());
        QVERIFY(!application(tree, "Delta")->isHidden());
        QVERIFY(!games->isHidden());
        QVERIFY(tools->isHidden());

        // Category names themselves are not searched.
        dialog->runwatchSearchLineEdit->setText("Tools");
        QVERIFY(tools->isHidden());
        QVERIFY(games->isHidden());

        dialog->runwatchSearchLineEdit->setText("ch");   // Charlie, Echo
        QVERIFY(games->isHidden());
        QVERIFY(!tools->isHidden());
        QVERIFY(!application(tree, "Echo")->isHidden());

        QTest::mouseClick(dialog->searchClearButton, Qt::LeftButton);
        QVERIFY(dialog->runwatchSearchLineEdit->text().isEmpty());
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            QVERIFY2(!(*it)->isHidden(), qPrintable((*it)->text(0)));
        }
    }

    void reloadPicksUpAChangedCatalogue()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=true\nFoxtrot=false\n");
        RunwatchDialog* dialog = showRunwatchDialog(nullptr);
        dialog->show();
        dialog->runwatchSearchLineEdit->setText("F");
        client->writeCatalogue("[Categories]\n3=Office\n"
                               "[Foxtrot]\nbinary_linux=foxtrot\ncategory=3\n"
                               "[Golf]\nbinary_linux=golf\ncategory=3\n"
                               "[Hotel]\nbinary_linux=hotel\ncategory=3\n");
        QTest::mouseClick(dialog->runwatchReloadButton, Qt::LeftButton);

        QTreeWidget* tree = dialog->appsTreeWidget;
        QCOMPARE(tree->topLevelItemCount(), 1);
        QTreeWidgetItem* office = topLevel(tree, "Office");
        QVERIFY(office);
        QCOMPARE(childTexts(office), (QStringList{"Foxtrot", "Golf", "Hotel"}));
        QCOMPARE(application(tree, "Foxtrot")->data(0, Qt::UserRole), QVariant(1));
        QCOMPARE(office->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(dialog->totalAppsLabel->text(), QStringLiteral("3 applications"));
        QVERIFY(!application(tree, "Alpha"));
        // The search text still applies to the new tree.
        QCOMPARE(dialog->runwatchSearchLineEdit->text(), QStringLiteral("F"));
        QVERIFY(!application(tree, "Foxtrot")->isHidden());
        QVERIFY(application(tree, "Hotel")->isHidden());
        dialog->runwatchSearchLineEdit->setText("x");
        QVERIFY(!application(tree, "Foxtrot")->isHidden());
        QVERIFY(application(tree, "Golf")->isHidden());

        // Applying after the reload uses the new ids.
        tree->expandAll();
        dialog->runwatchSearchLineEdit->clear();
        clickCheck(tree, application(tree, "Hotel"));
        QTest::mouseClick(dialog->buttonBox->button(QDialogButtonBox::Apply), Qt::LeftButton);
        QCOMPARE(storedSettings().value("Runwatcher/Hotel"), QVariant(false));
        QVERIFY(!manager->isAppEnabled(3));
    }

    void applicationsWithoutTheirCategoryGoUnderOther()
    {
        start("[Categories]\n1=Games\n3=Office\n"
              "[Alpha]\nbinary_linux=alpha\ncategory=1\n"
              "[Bravo]\nbinary_linux=bravo\ncategory=2\n"
              "[Charlie]\nbinary_linux=charlie\n",
              "[Runwatcher]\nEnabled=true\n");
        RunwatchDialog* dialog = showExpanded();
        QTreeWidget* tree = dialog->appsTreeWidget;
        // Office has no applications and is left out; Other comes after the named categories.
        QCOMPARE(tree->topLevelItemCount(), 2);
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("Games"));
        QTreeWidgetItem* other = tree->topLevelItem(1);
        QCOMPARE(other->text(0), QStringLiteral("Other"));
        QVERIFY(!other->data(0, Qt::UserRole).isValid());
        QCOMPARE(childTexts(other), (QStringList{"Bravo", "Charlie"}));
        QCOMPARE(dialog->totalAppsLabel->text(), QStringLiteral("3 applications"));

        clickCheck(tree, other);
        QTest::mouseClick(dialog->buttonBox->button(QDialogButtonBox::Ok), Qt::LeftButton);
        QCOMPARE(storedSettings().value("Runwatcher/Bravo"), QVariant(false));
        QCOMPARE(storedSettings().value("Runwatcher/Charlie"), QVariant(false));
        QVERIFY(!storedSettings().contains("Runwatcher/Alpha"));

        // A catalogue without categories shows every application under Other.
        client->writeCatalogue("[Xray]\nbinary_linux=xray\n[Yankee]\nbinary_linux=yankee\ncategory=4\n");
        manager->reload();
        dialog = showRunwatchDialog(nullptr);
        QCOMPARE(dialog->appsTreeWidget->topLevelItemCount(), 1);
        QCOMPARE(childTexts(dialog->appsTreeWidget->topLevelItem(0)), (QStringList{"Xray", "Yankee"}));
    }

    void contextMenuOffersExpandOnlyOnCategories()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=true\n");
        RunwatchDialog* dialog = showRunwatchDialog(nullptr);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QTreeWidget* tree = dialog->appsTreeWidget;
        QTreeWidgetItem* games = topLevel(tree, "Games");
        QMenu* menu = dialog->treeContextMenu();
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.size(), 5);
        QCOMPARE(actions[0]->text(), QStringLiteral("Expand"));
        QVERIFY(actions[2]->isSeparator());
        QCOMPARE(actions[4]->text(), QStringLiteral("Collapse All"));

        const auto rightClick = [&](QTreeWidgetItem* item) {
            const QPoint pos = tree->visualItemRect(item).center();
            emit tree->customContextMenuRequested(pos);
            QVERIFY(menu->isVisible());
            menu->hide();
        };
        rightClick(games);
        QVERIFY(actions[0]->isVisible() && actions[1]->isVisible() && actions[2]->isVisible());

        tree->setCurrentItem(games);
        actions[0]->trigger();
        QVERIFY(games->isExpanded());
        rightClick(games->child(0));
        QVERIFY(!actions[0]->isVisible() && !actions[1]->isVisible() && !actions[2]->isVisible());
        QVERIFY(actions[3]->isVisible() && actions[4]->isVisible());
        actions[4]->trigger();
        QVERIFY(!games->isExpanded());
        actions[3]->trigger();
        QVERIFY(topLevel(tree, "Tools")->isExpanded());
        tree->setCurrentItem(games);
        actions[1]->trigger();
        QVERIFY(!games->isExpanded());
    }

    void closedDialogIsReplacedAndNeverOutlivesShutdown()
    {
        start(kCatalogue, "[Runwatcher]\nEnabled=true\n");
        QPointer<RunwatchDialog> first = showRunwatchDialog(nullptr);
        first->show();
        first->reject();   // Escape: closes, deletion pending
        QVERIFY(!first.isNull());
        QPointer<RunwatchDialog> second = showRunwatchDialog(nullptr);
        QVERIFY(second != first);
        second->show();
        second->close();   // the window's close button
        deleteRunwatchDialog();   // as at shutdown: nothing may be left for the event loop
        QVERIFY(first.isNull());
        QVERIFY(second.isNull());

        // Without a manager there is nothing to configure.
        runwatchManager = nullptr;
        QVERIFY(!showRunwatchDialog(nullptr));
    }
};

QTEST_MAIN(RunwatchDialogTest)
#include "dialog_test.moc"
