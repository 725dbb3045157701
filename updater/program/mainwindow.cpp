#include "mainwindow.h"

#include "changelogviewer.h"
#include "configuration.h"
#include "messagebox.h"
#include "outsidetext.h"
#include "programfolder.h"
#include "singleinstancechecker.h"
#include "ui_mainwindow.h"
#include "updateengine.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QFileInfo>
#include <QImageReader>
#include <QPixmap>
#include <QProcess>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace {

const char* const webSite = "https://www.voxmere.com";
const char* const clientScript = "vxmclient_runscript.sh";

// Asks for the whole size of its contents (Qt's scroll area asks for at most 36 x 24 lines of
// text); only its maximum size makes it scroll.
class ContentArea : public QScrollArea
{
public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override
    {
        const int frame = 2 * frameWidth();
        return widget() ? widget()->sizeHint() + QSize(frame, frame) : QScrollArea::sizeHint();
    }
};

} // namespace

MainWindow::MainWindow(Configuration* config, UpdateEngine* replacement)
    : QWidget(nullptr), ui(new Ui::MainWindow), config(config)
{
    // The form's images live in the core library's resources.
    Q_INIT_RESOURCE(updater);

    engine = replacement ? replacement : new UpdateEngine(config, this);
    engine->setParent(this);
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    ui->setupUi(this);
    fitIntoScreen();
    // Runs after the toggle has shown or hidden the log.
    connect(ui->detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed, Qt::QueuedConnection);
    ui->voxmereLabel->setUrl(QLatin1String(webSite));
    ui->outputTextEdit->hide();
    // The log is read-only: an undo history of every line would only cost memory and time.
    ui->outputTextEdit->setUndoRedoEnabled(false);
    logFlush = new QTimer(this);
    logFlush->setSingleShot(true);
    logFlush->setInterval(0);
    connect(logFlush, &QTimer::timeout, this, &MainWindow::flushLog);
    onDownloadProgress(0, 0, 0, false);

    // The engine was made before anybody listened: a proxy setting it could not use is shown in
    // the log, opened, so that the user sees why the proxy is not used.
    if (!engine->proxyProblem().isEmpty()) {
        std::fprintf(stderr, "%s\n", engine->proxyProblem().toLocal8Bit().constData());
        appendPlainLine(ui->outputTextEdit, engine->proxyProblem());
        ui->detailsButton->setChecked(true);
    }

    checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this, &MainWindow::onOtherInstanceActivate);
    connect(config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    engine->startBannerLookup();

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    move(available.width() / 2 - width() / 2, available.height() / 2 - height() / 2);
}

MainWindow::~MainWindow() = default;

void MainWindow::fitIntoScreen()
{
    auto* area = new ContentArea(this);
    area->setObjectName(QStringLiteral("contentArea"));
    area->setFrameShape(QFrame::NoFrame);
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidgetResizable(true);
    auto* content = new QWidget(area);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    // Everything but the last row, the buttons.
    QVBoxLayout* window = ui->verticalLayout;
    while (window->count() > 1) {
        QLayoutItem* item = window->takeAt(0);
        if (QWidget* widget = item->widget()) {
            column->addWidget(widget);
            delete item;
        } else if (QLayout* layout = item->layout()) {
            layout->setParent(nullptr);
            column->addLayout(layout);
        } else {
            column->addItem(item);
        }
    }
    area->setWidget(content);
    window->insertWidget(0, area);
    // The window grows and shrinks with its contents (the log shown or hidden, the counters).
    content->installEventFilter(this);

    // The window takes the size its contents ask for (a fixed-size layout) up to the screen's
    // available area, less room for the window manager's frame; beyond it the contents scroll.
    const QScreen* shownOn = screen();
    if (!shownOn)
        return;
    const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const QMargins margins = window->contentsMargins();
    const int buttons = window->itemAt(1)->sizeHint().height() + window->spacing();
    area->setMaximumSize(shownOn->availableGeometry().size() -
                         QSize(frame + margins.left() + margins.right(),
                               frame + style()->pixelMetric(QStyle::PM_TitleBarHeight) + margins.top() +
                                   margins.bottom() + buttons));
}

void MainWindow::updateHeaderText()
{
    static const char* const channelNames[] = {"Stable", "Beta", "Alpha"};
    const QString channelName =
        config->channel >= 0 && config->channel <= 2 ? QLatin1String(channelNames[config->channel]) : QString();
    QString text;
    if (!config->displayName.isEmpty())
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">") +
               tr("Update to Voxmere %1").arg(config->displayName.toHtmlEscaped()) + QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:8px\">") +
            tr("You are currently on <strong>%1 channel</strong>.").arg(channelName) + QStringLiteral("</div>");
    ui->versionLabel->setText(text);
    if (config->autoStart)
        ui->startButton->setEnabled(false);
}

void MainWindow::setNewsText(const QString& html)
{
    ui->newsBanner->setBanner(html);
}

bool MainWindow::startClient()
{
    const QString script = programFolder() + QLatin1Char('/') + QLatin1String(clientScript);
    // Program and arguments apart: a program folder with blanks in its path works.
    if (QProcess::startDetached(script, QStringList()))
        return true;
    const QString text = QFileInfo::exists(script) ? tr("Failed to start %1.").arg(script)
                                                   : tr("%1 is missing, cannot start the client.").arg(script);
    showMessageBox(QMessageBox::Critical, this, QObject::tr("Error"), text);
    return false;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest && watched->parent())
        if (auto* area = qobject_cast<QScrollArea*>(watched->parent()->parent()))
            area->updateGeometry();
    return QWidget::eventFilter(watched, event);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (updateDone) {
        startClient();
        close();
        return;
    }
    if (engine->isRunning())
        return;
    if (engine->prepareUpdate()) {
        ui->startButton->setEnabled(false);
        engine->startUpdate();
    }
}

void MainWindow::onAppendText(QString text)
{
    pendingLog.append(text);
    if (!logFlush->isActive())
        logFlush->start();
}

void MainWindow::flushLog()
{
    logFlush->stop();
    if (pendingLog.isEmpty())
        return;
    QTextEdit* log = ui->outputTextEdit;
    QScrollBar* bar = log->verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    // One edit block: the document is laid out once for all the lines.
    QTextCursor block(log->document());
    block.beginEditBlock();
    for (const QString& line : qAsConst(pendingLog))
        appendPlainLine(log, line);
    block.endEditBlock();
    pendingLog.clear();
    if (atBottom)
        bar->setValue(bar->maximum());
}

void MainWindow::onError(QString errorMessage)
{
    flushLog();
    appendPlainLine(ui->outputTextEdit, errorMessage);
    showMessageBox(QMessageBox::Critical, this, QObject::tr("Error"), errorMessage);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    showMessageBox(QMessageBox::Critical, nullptr, QObject::tr("Error"), errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showMessageBox(QMessageBox::Critical, this, QObject::tr("Error"), errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onProgressUpdate(double doneFrac)
{
    ui->totalProgressBar->setValue(int(doneFrac * 1000));
}

void MainWindow::onDownloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed,
                                    bool downloading)
{
    ui->downloadSizeLabel->setVisible(downloading);
    ui->downloadSpeedLabel->setVisible(downloading);
    if (!downloading)
        return;
    ui->downloadSizeLabel->setText(QStringLiteral("<span style=\"font-size:small;\">") +
                                   tr("%1 KB / %2 KB").arg(downloadDone / 1000).arg(downloadTotal / 1000) +
                                   QStringLiteral("</span>"));
    ui->downloadSpeedLabel->setText(QStringLiteral("<span style=\"font-size:small;\">") +
                                    tr("%1 KB/s").arg(speed / 1000) + QStringLiteral("</span>"));
}

void MainWindow::onUpdateFinished()
{
    // Asked to abort and quit when every file was already replaced: the run finished instead.
    if (quitRequested) {
        QCoreApplication::quit();
        return;
    }
    updateDone = true;
    if (config->autoStart && !ChangeLogViewer::instance()) {
        QTimer::singleShot(autoStartClientDelayMs, this, &MainWindow::on_startButton_clicked);
        return;
    }
    ui->startButton->setText(tr("Start Voxmere"));
    // A disabled button does not take the focus: enable it first.
    ui->startButton->setEnabled(true);
    ui->startButton->setFocus();
}

void MainWindow::onUpdateCanceled()
{
    if (quitRequested) {
        QCoreApplication::quit();
        return;
    }
    updateDone = false;
    engine->releaseTask();
    ui->startButton->setText(tr("Restart"));
    ui->startButton->setEnabled(true);
    flushLog();
    appendPlainLine(ui->outputTextEdit, tr("Update cancelled"));
    ui->totalProgressBar->setValue(0);
    showMessageBox(QMessageBox::Critical, this, tr("Update"),
                   tr("Update cancelled. Push \"Details\" to check reasons."));
    // Nobody to read the log or to press "Restart": the reasons go to standard error and the program
    // ends.
    if (config->autoStart && withoutDialogs()) {
        const QByteArray details = ui->outputTextEdit->toPlainText().toUtf8();
        std::fprintf(stderr, "Details:\n%s\n", details.constData());
        std::fflush(stderr);
        QCoreApplication::exit(unattendedFailureExitCode);
    }
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    qInfo("Another updater was started for this installation: raising the window");
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    // The header's announced size decides before anything is decoded: a small file can announce
    // gigabytes of pixels.
    QBuffer buffer(&bannerImage);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid())
        return;
    if (qint64(size.width()) * size.height() > maxBannerPixels) {
        qWarning("Banner image refused: %dx%d pixels", size.width(), size.height());
        return;
    }
    const QPixmap pixmap = QPixmap::fromImage(reader.read());
    if (pixmap.isNull())
        return;
    const QUrl url(clickUrl);
    // A scheme and a host hold no markup (QUrl refuses such a host).
    ui->banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host(QUrl::FullyDecoded)));
    ui->banner->setUrl(clickUrl);
    ui->banner->setPixmap(pixmap);
}

void MainWindow::onDetailsPressed()
{
    flushLog();
    if (ui->outputTextEdit->isVisible())
        ui->outputTextEdit->verticalScrollBar()->setValue(ui->outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::on_changelogButton_clicked()
{
    ChangeLogViewer::showChangeLog(this, QString::number(config->version));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->isRunning()) {
        event->accept();
        return;
    }
    event->ignore();
    if (quitRequested)
        return;
    // A reflexive Return keeps the update running.
    const QMessageBox::StandardButton answer =
        showMessageBox(QMessageBox::Question, this, tr("Question"),
                       tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
                       QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, QMessageBox::No, Qt::RichText);
    if (answer == QMessageBox::Yes) {
        quitRequested = true;
        engine->cancelUpdate();
    }
}
