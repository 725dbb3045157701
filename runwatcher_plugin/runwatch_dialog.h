// The options dialog: the broadcast switch and, per application grouped by category, whether it
// may be broadcast. Changes take effect on Apply or Ok; Cancel discards them. At most one is open.
#ifndef RUNWATCHER_RUNWATCH_DIALOG_H
#define RUNWATCHER_RUNWATCH_DIALOG_H

#include <QDialog>

#include "ui_runwatch_dialog.h"

class QAbstractButton;
class QMenu;
class QPoint;
class QTreeWidgetItem;
class RunwatchManager;

class RunwatchDialog : public QDialog, public Ui::RunwatchDialog {
    Q_OBJECT

public:
    // Works on `manager`'s catalogue and switch; the manager must outlive the dialog.
    RunwatchDialog(RunwatchManager* manager, QWidget* parent);
    ~RunwatchDialog() override;

    // Builds the tree from the manager's catalogue; `setCheckBox` also sets the switch from it.
    void fillTree(bool setCheckBox);
    void setApplyEnabled(bool on);
    bool isApplyEnabled() const { return applyEnabled; }
    // Stores the per-application flags and the switch.
    void apply();

    QMenu* treeContextMenu() const { return contextMenu; }

private slots:
    void on_runwatchEnabledCheckBox_toggled(bool checked);
    void on_runwatchSearchLineEdit_textChanged(const QString& txt);
    void on_runwatchReloadButton_clicked();
    void onItemChanged(QTreeWidgetItem* item, int column);
    void onCheckChanged();
    void on_buttonBox_clicked(QAbstractButton* button);
    void onContextMenu(const QPoint& pos);
    void onExpand();
    void onCollapse();

private:
    RunwatchManager* manager;
    bool applyEnabled = false;
    bool updatingTree = false;
    QMenu* contextMenu = nullptr;
};

// The open dialog, made with `parent` when none is open (or while the open one is closing); null
// while the plug-in has no manager.
RunwatchDialog* showRunwatchDialog(QWidget* parent);
// Deletes the open dialog, if any.
void deleteRunwatchDialog();

#endif
