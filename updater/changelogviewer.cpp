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
        textEdit->setPlainText(tr("Failed to load changelog."));
        return;
    }
    QString address = mirror;
    if (!address.endsWith(QLatin1Char('/')))
        address += QLatin1Char('/');
    address += version + QStringLiteral("/changelog_client.txt");

    if (!network)
        network = new QNetworkAccessManager(this);
    reply = network->get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    connect(reply, &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);
    // A change log is a few hundred kilobytes at most; anything far beyond is not one.
    connect(reply, &QNetworkReply::downloadProgress, this, [this, r = reply](qint64 received, qint64 total) {
        if (reply == r && (received > maxChangeLogBytes || total > maxChangeLogBytes))
            r->abort();
    });

    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    // The bound covers the whole download from one mirror; a time-out after the end does nothing.
    timer->start(mirrorTimeoutMs);
}

void ChangeLogViewer::onRequestTimeout()
{
    if (reply)
        reply->abort();
}

void ChangeLogViewer::onRequestFinished()
{
    if (!reply)
        return;
    QNetworkReply* finished = reply;
    reply = nullptr;
    finished->deleteLater();
    // Only the file itself counts: an unfollowed redirection or another status is a failed mirror.
    const bool ok = finished->error() == QNetworkReply::NoError &&
                    finished->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                    finished->bytesAvailable() <= maxChangeLogBytes;
    if (ok) {
        QTextStream stream(finished);
        stream.setCodec(QTextCodec::codecForName("UTF-8"));
        const QString text = stream.readAll();
        // Some mirrors answer a moved file with a page that says so instead of a redirection.
        if (!text.contains(QLatin1String("document has moved"))) {
            showText(text);
            return;
        }
    }
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
