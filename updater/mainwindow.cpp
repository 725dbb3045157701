#include "mainwindow.h"

#include "configuration.h"
#include "messagebox.h"
#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QLabel>
#include <QVBoxLayout>

MainWindow::MainWindow(Configuration* config)
    : QWidget(nullptr), config(config), versionLabel(new QLabel(this)), newsLabel(new QLabel(this))
{
    // The update driver reads [update] when it is made; it is made with the window.
    config->readUpdateSettings();
    setWindowTitle(tr("Voxmere 3 Client Update"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(versionLabel);
    layout->addWidget(newsLabel);
    checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this, &MainWindow::onOtherInstanceActivate);
    connect(config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
}

MainWindow::~MainWindow() = default;

void MainWindow::updateHeaderText()
{
    static const char* const channelNames[] = {"Stable", "Beta", "Alpha"};
    const QString channelName =
        config->channel >= 0 && config->channel <= 2 ? QLatin1String(channelNames[config->channel]) : QString();
    QString text;
    if (!config->displayName.isEmpty())
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">") +
               tr("Update to Voxmere %1").arg(config->displayName) + QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:8px\">") +
            tr("You are currently on <strong>%1 channel</strong>.").arg(channelName) + QStringLiteral("</div>");
    versionLabel->setText(text);
}

void MainWindow::setNewsText(const QString& html)
{
    newsLabel->setText(html);
}

void MainWindow::onAutoStartUpdate()
{
    // The update itself comes with the update driver.
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    showMessageBox(QMessageBox::Critical, nullptr, QObject::tr("Error"), errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    qInfo("Another updater was started for this installation: raising the window");
    raise();
    activateWindow();
}
