#include "changelogviewer.h"

#include "initext.h"
#include "programfolder.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QScreen>
#include <QSettings>
#include <QTextCodec>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;
int ChangeLogViewer::mirrorTimeoutMs = ChangeLogViewer::defaultMirrorTimeoutMs;

void ChangeLogViewer::showChangeLog(QWidget* parent, const QString& version)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        m_instance->requestChangelog(version);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

void ChangeLogViewer::setMirrorTimeoutForTesting(int ms)
{
    mirrorTimeoutMs = ms > 0 ? ms : defaultMirrorTimeoutMs;
}

ChangeLogViewer::ChangeLogViewer(QWidget* parent)
    : QDialog(parent, Qt::WindowSystemMenuHint), textEdit(new QTextEdit(this))
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));
    textEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    textEdit->setReadOnly(true);
    textEdit->setLineWrapMode(QTextEdit::NoWrap);
    textEdit->setAcceptRichText(false);
    QFont font;
    font.setStyleHint(QFont::TypeWriter);
    font.setFamily(font.defaultFamily());
    textEdit->setFont(font);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textEdit);
    layout->addWidget(buttons);
    resize(617, 500);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
}

QString ChangeLogViewer::randomMirror()
{
    if (mirrors.isEmpty())
        return QString();
    return mirrors.takeAt(int(QRandomGenerator::global()->bounded(quint32(mirrors.size()))));
}

QString ChangeLogViewer::nextMirror()
{
    if (mirrorsLoaded)
        return randomMirror();
    mirrorsLoaded = true;

    const QString updateIni = programFolder() + QStringLiteral("/update.ini");
    if (QFile::exists(updateIni)) {
        const QString alpha = iniText(QSettings(updateIni, QSettings::IniFormat), QStringLiteral("Channel/alpha"));
        if (!alpha.isEmpty())
            return alpha;
    }
    const QString mirrorsIni = programFolder() + QStringLiteral("/mirrors.ini");
    if (QFile::exists(mirrorsIni)) {
        QSettings ini(mirrorsIni, QSettings::IniFormat);
        QStringList names;
        const int count = ini.beginReadArray(QStringLiteral("mirrors"));
        for (int i = 0; i < count; ++i) {
            ini.setArrayIndex(i);
            names << iniText(ini, QStringLiteral("mirror"));
        }
        ini.endArray();
        for (const QString& name : qAsConst(names)) {
            ini.beginGroup(name);
            const QString url = iniText(ini, QStringLiteral("url"));
            ini.endGroup();
            if (!url.isEmpty())
                mirrors << url;
        }
        return randomMirror();
    }
    return QString();
}

void ChangeLogViewer::requestChangelog(const QString& v)
{
    if (reply)
        return;
    textEdit->setPlainText(tr("Loading..."));
    if (!v.isEmpty())
        version = v;
    const QString mirror = nextMirror();
    if (mirror.isEmpty()) {
        QString text = tr("Failed to load changelog.");
        if (!failures.isEmpty())
            text += QStringLiteral("\n\n") + failures.join(QLatin1Char('\n'));
        textEdit->setPlainText(text);
        return;
    }
    QString address = mirror;
    if (!address.endsWith(QLatin1Char('/')))
        address += QLatin1Char('/');
    address += version + QStringLiteral("/changelog_client.txt");

    if (!network)
        network = new QNetworkAccessManager(this);
    abortReason.clear();
    reply = network->get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    connect(reply, &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);
    connect(reply, &QNetworkReply::downloadProgress, this, [this, r = reply](qint64 received, qint64 total) {
        if (reply != r)
            return;
        // A change log is a few hundred kilobytes at most; anything far beyond is not one.
        if (received > maxChangeLogBytes || total > maxChangeLogBytes)
            abandon(tr("more than %1 bytes").arg(maxChangeLogBytes));
        else
            timer->start(mirrorTimeoutMs);
    });

    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    // The bound covers each silence of the mirror (every piece received starts it again); a
    // time-out after the end does nothing.
    timer->start(mirrorTimeoutMs);
}

void ChangeLogViewer::abandon(const QString& reason)
{
    abortReason = reason;
    reply->abort();
}

void ChangeLogViewer::onRequestTimeout()
{
    if (reply)
        abandon(tr("nothing received for %1 s").arg(mirrorTimeoutMs / 1000.0));
}

void ChangeLogViewer::onRequestFinished()
{
    if (!reply)
        return;
    QNetworkReply* finished = reply;
    reply = nullptr;
    finished->deleteLater();
    // Only the file itself counts: an unfollowed redirection or another status is a failed mirror.
    const int status = finished->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString reason = abortReason;
    if (reason.isEmpty() && finished->error() != QNetworkReply::NoError)
        reason = finished->errorString();
    else if (reason.isEmpty() && status != 200)
        reason = tr("HTTP status %1").arg(status);
    else if (reason.isEmpty() && finished->bytesAvailable() > maxChangeLogBytes)
        reason = tr("more than %1 bytes").arg(maxChangeLogBytes);
    if (reason.isEmpty()) {
        QTextStream stream(finished);
        stream.setCodec(QTextCodec::codecForName("UTF-8"));
        const QString text = stream.readAll();
        // Some mirrors answer a moved file with a page that says so instead of a redirection.
        if (!text.contains(QLatin1String("document has moved"))) {
            showText(text);
            return;
        }
        reason = tr("a page saying that the document has moved");
    }
    failures << finished->url().toDisplayString() + QStringLiteral(": ") + reason;
    requestChangelog(QString());
}

void ChangeLogViewer::showText(const QString& text)
{
    textEdit->setPlainText(text);
    if (text.isEmpty())
        return;
    const QFontMetrics metrics = textEdit->fontMetrics();
    int widest = 0;
    for (const QStringRef& line : text.splitRef(QLatin1Char('\n')))
        widest = qMax(widest, metrics.horizontalAdvance(line.toString()));
    int width = widest > 0 ? widest + 50 : 617;
    int height = 500;
    const QRect available = screen() ? screen()->availableGeometry() : QRect();
    if (available.isValid()) {
        height = qMin(available.height(), 500);
        width = qMin(available.width(), width);
    }
    resize(width, height);
}
