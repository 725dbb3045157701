#include "runwatch_dialog.h"

#include <QAction>
#include <QFileInfo>
#include <QIcon>
#include <QList>
#include <QMap>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QStyle>
#include <QTreeWidgetItemIterator>
#include <algorithm>

#include "plugin_state.h"
#include "runwatch_manager.h"
#include "runwatcher_settings.h"

namespace {

// The dialog that showRunwatchDialog hands out, and every dialog not yet deleted (a closed dialog
// waits for its deferred deletion, which must not outlive the plug-in).
RunwatchDialog* openDialog = nullptr;
QSet<RunwatchDialog*> liveDialogs;

bool isApplication(const QTreeWidgetItem* item)
{
    if (!item->parent()) {
        return false;
    }
    bool ok = false;
    item->data(0, Qt::UserRole).toInt(&ok);
    return ok;
}

// The common state of the children, partially checked when they differ.
Qt::CheckState stateOfChildren(const QTreeWidgetItem* category)
{
    const Qt::CheckState first = category->child(0)->checkState(0);
    for (int i = 1; i < category->childCount(); ++i) {
        if (category->child(i)->checkState(0) != first) {
            return Qt::PartiallyChecked;
        }
    }
    return first;
}

// The icon file in the plug-in's folder, or the style's own icon when the file is missing.
QIcon pluginIcon(const QString& fileName, QStyle::StandardPixmap fallback, const QStyle* style)
{
    const QString path = pluginPathString() + pluginFolderName + QLatin1Char('/') + fileName;
    if (QFileInfo(path).isFile()) {
        const QIcon icon(path);
        if (!icon.availableSizes().isEmpty()) {
            return icon;
        }
    }
    return style->standardIcon(fallback);
}

}  // namespace

RunwatchDialog::RunwatchDialog(RunwatchManager* manager, QWidget* parent)
    : QDialog(parent, Qt::WindowSystemMenuHint), manager(manager)
{
    liveDialogs.insert(this);
    setupUi(this);
    fillTree(true);
    setApplyEnabled(false);

    connect(runwatchEnabledCheckBox, &QCheckBox::clicked, this, &RunwatchDialog::onCheckChanged);
    connect(appsTreeWidget, &QTreeWidget::itemChanged, this, &RunwatchDialog::onItemChanged);

    searchClearButton->setIcon(pluginIcon(QStringLiteral("16x16_error.png"), QStyle::SP_LineEditClearButton, style()));
    runwatchReloadButton->setIcon(
        pluginIcon(QStringLiteral("32x32_file_refresh.png"), QStyle::SP_BrowserReload, style()));

    setAttribute(Qt::WA_DeleteOnClose);
    urlLabel->hide();

    auto* expand = new QAction(tr("Expand"), this);
    connect(expand, &QAction::triggered, this, &RunwatchDialog::onExpand);
    auto* collapse = new QAction(tr("Collapse"), this);
    connect(collapse, &QAction::triggered, this, &RunwatchDialog::onCollapse);
    auto* expandAll = new QAction(tr("Expand All"), this);
    connect(expandAll, &QAction::triggered, appsTreeWidget, &QTreeWidget::expandAll);
    auto* collapseAll = new QAction(tr("Collapse All"), this);
    connect(collapseAll, &QAction::triggered, appsTreeWidget, &QTreeWidget::collapseAll);
    auto* separator = new QAction(this);
    separator->setSeparator(true);

    appsTreeWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(appsTreeWidget, &QWidget::customContextMenuRequested, this, &RunwatchDialog::onContextMenu);

    contextMenu = new QMenu(this);
    contextMenu->addAction(expand);
    contextMenu->addAction(collapse);
    contextMenu->addAction(separator);
    contextMenu->addAction(expandAll);
    contextMenu->addAction(collapseAll);
}

RunwatchDialog::~RunwatchDialog()
{
    liveDialogs.remove(this);
    if (openDialog == this) {
        openDialog = nullptr;
    }
}

void RunwatchDialog::fillTree(bool setCheckBox)
{
    setUpdatesEnabled(false);
    updatingTree = true;

    if (setCheckBox) {
        runwatchEnabledCheckBox->setChecked(manager->isEnabled());
    }

    QMap<quint16, QTreeWidgetItem*> categoryItems;
    const QMap<quint16, QString>& categories = manager->categoryNames();
    for (auto it = categories.cbegin(); it != categories.cend(); ++it) {
        categoryItems.insert(it.key(), new QTreeWidgetItem(appsTreeWidget, QStringList(it.value())));
    }

    // Applications whose category has no item still get broadcast, so they must be shown to be
    // opted out: they go under "Other", after the named categories.
    QTreeWidgetItem* otherItem = nullptr;
    const QHash<int, AppEntry*>& apps = manager->applications();
    QList<int> ids = apps.keys();
    std::sort(ids.begin(), ids.end());  // catalogue order, that is by name
    for (const int id : ids) {
        const AppEntry* entry = apps.value(id);
        QTreeWidgetItem* category = categoryItems.value(entry->category);
        if (!category) {
            if (!otherItem) {
                otherItem = new QTreeWidgetItem(appsTreeWidget, QStringList(tr("Other")));
            }
            category = otherItem;
        }
        auto* item = new QTreeWidgetItem(category, QStringList(entry->name));
        item->setData(0, Qt::UserRole, id);
        item->setCheckState(0, entry->enabled ? Qt::Checked : Qt::Unchecked);
    }

    // English plural in the source: no catalogue ships to turn "(s)" into words.
    totalAppsLabel->setText(apps.size() == 1 ? tr("%n application", nullptr, apps.size())
                                             : tr("%n applications", nullptr, apps.size()));

    for (int i = appsTreeWidget->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* category = appsTreeWidget->topLevelItem(i);
        if (category->childCount() == 0) {
            delete appsTreeWidget->takeTopLevelItem(i);
        } else {
            category->setCheckState(0, stateOfChildren(category));
        }
    }

    updatingTree = false;
    onCheckChanged();
    setUpdatesEnabled(true);
}

void RunwatchDialog::setApplyEnabled(bool on)
{
    buttonBox->button(QDialogButtonBox::Apply)->setEnabled(on);
    applyEnabled = on;
}

void RunwatchDialog::apply()
{
    for (QTreeWidgetItemIterator it(appsTreeWidget); *it; ++it) {
        if (isApplication(*it)) {
            manager->setAppEnabled((*it)->data(0, Qt::UserRole).toInt(), (*it)->checkState(0) == Qt::Checked);
        }
    }
    manager->setEnabled(runwatchEnabledCheckBox->isChecked());
    setApplyEnabled(false);
}

void RunwatchDialog::on_runwatchEnabledCheckBox_toggled(bool checked)
{
    appsTreeWidget->setEnabled(checked);
    runwatchReloadButton->setEnabled(checked);
    searchClearButton->setEnabled(checked);
    runwatchSearchLabel->setEnabled(checked);
    runwatchSearchLineEdit->setEnabled(checked);
}

void RunwatchDialog::on_runwatchSearchLineEdit_textChanged(const QString& txt)
{
    for (int i = 0; i < appsTreeWidget->topLevelItemCount(); ++i) {
        QTreeWidgetItem* category = appsTreeWidget->topLevelItem(i);
        bool allHidden = true;
        for (int j = 0; j < category->childCount(); ++j) {
            QTreeWidgetItem* app = category->child(j);
            const bool hide = !app->text(0).contains(txt, Qt::CaseInsensitive);
            app->setHidden(hide);
            allHidden = allHidden && hide;
        }
        category->setHidden(allHidden);
    }
}

void RunwatchDialog::on_runwatchReloadButton_clicked()
{
    manager->reload();
    appsTreeWidget->clear();
    fillTree(false);
    // The search text stays in the edit, so the new tree is filtered by it as well.
    on_runwatchSearchLineEdit_textChanged(runwatchSearchLineEdit->text());
}

void RunwatchDialog::onItemChanged(QTreeWidgetItem* item, int /*column*/)
{
    if (updatingTree) {
        return;
    }
    updatingTree = true;
    QTreeWidgetItem* parent = item->parent();
    if (item->childCount() == 0 && parent) {
        parent->setCheckState(0, stateOfChildren(parent));
    }
    if (item->childCount() > 0) {
        const Qt::CheckState state = item->checkState(0);
        for (int i = 0; i < item->childCount(); ++i) {
            item->child(i)->setCheckState(0, state);
        }
    }
    updatingTree = false;
    onCheckChanged();
}

void RunwatchDialog::onCheckChanged()
{
    for (QTreeWidgetItemIterator it(appsTreeWidget); *it; ++it) {
        if (isApplication(*it)) {
            const bool checked = (*it)->checkState(0) == Qt::Checked;
            if (checked != manager->isAppEnabled((*it)->data(0, Qt::UserRole).toInt())) {
                setApplyEnabled(true);
                return;
            }
        }
    }
    const bool stored = runwatcherSettings().value(QStringLiteral("Runwatcher/Enabled"), false).toBool();
    setApplyEnabled(runwatchEnabledCheckBox->isChecked() != stored);
}

void RunwatchDialog::on_buttonBox_clicked(QAbstractButton* button)
{
    switch (buttonBox->buttonRole(button)) {
    case QDialogButtonBox::AcceptRole:
        apply();
        close();
        break;
    case QDialogButtonBox::RejectRole:
        close();
        break;
    case QDialogButtonBox::ApplyRole:
        apply();
        break;
    default:
        break;
    }
}

void RunwatchDialog::onContextMenu(const QPoint& pos)
{
    const QTreeWidgetItem* item = appsTreeWidget->itemAt(pos);
    const bool onCategory = item && item->childCount() > 0;
    const QList<QAction*> actions = contextMenu->actions();
    for (int i = 0; i < 3 && i < actions.size(); ++i) {
        actions[i]->setVisible(onCategory);
    }
    contextMenu->popup(appsTreeWidget->viewport()->mapToGlobal(pos));
}

void RunwatchDialog::onExpand()
{
    if (QTreeWidgetItem* item = appsTreeWidget->currentItem()) {
        item->setExpanded(true);
    }
}

void RunwatchDialog::onCollapse()
{
    if (QTreeWidgetItem* item = appsTreeWidget->currentItem()) {
        item->setExpanded(false);
    }
}

RunwatchDialog* showRunwatchDialog(QWidget* parent)
{
    // Qt takes the delete-on-close flag away from a dialog that has closed and waits for deletion.
    if (openDialog && !openDialog->testAttribute(Qt::WA_DeleteOnClose)) {
        openDialog = nullptr;
    }
    if (!openDialog && runwatchManager) {
        openDialog = new RunwatchDialog(runwatchManager, parent);
    }
    return openDialog;
}

void deleteRunwatchDialog()
{
    const QSet<RunwatchDialog*> dialogs = liveDialogs;
    for (RunwatchDialog* dialog : dialogs) {
        delete dialog;
    }
}
