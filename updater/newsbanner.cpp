#include "newsbanner.h"

#include "weburl.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QDesktopServices>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimerEvent>

namespace {

// The news text comes from the network: it is laid out, but nothing it names is ever loaded
// (no local files, no data: images, no downloads). An image gets an empty placeholder, since
// without one the layout would read the named file itself.
class NewsDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl&) override
    {
        if (type != QTextDocument::ImageResource)
            return QVariant();
        QImage placeholder(1, 1, QImage::Format_ARGB32);
        placeholder.fill(Qt::transparent);
        return placeholder;
    }
};

void openWebAddress(const QString& text)
{
    const QUrl address(text, QUrl::TolerantMode);
    if (isOpenableWebAddress(address))
        QDesktopServices::openUrl(address);
}

} // namespace

NewsBanner::NewsBanner(QWidget* parent) : QWidget(parent), document(new NewsDocument(this))
{
    setObjectName(QStringLiteral("NewsBanner"));
    setMinimumHeight(16);
    setMaximumHeight(16);
}

void NewsBanner::setBanner(const QString& html)
{
    clickUrl.clear();
    // Greedy: with several comments the capture runs from the first "<!--" to the last "-->".
    static const QRegularExpression comment(QStringLiteral("<!--(.+)-->"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = comment.match(html);
    if (match.hasMatch()) {
        const QString captured = match.captured(1);
        const int equals = captured.indexOf(QLatin1Char('='));
        if (equals >= 0 && captured.left(equals) == QLatin1String("URL"))
            clickUrl = captured.mid(equals + 1);
    }
    document->setHtml(html);
    document->setDocumentMargin(0);
    paused = false;
    xOffset = float(width() - 10);
    const QSizeF size = document->size();
    textWidth = int(size.width());
    textHeight = int(size.height());
    setMinimumHeight(textHeight);
    setMaximumHeight(textHeight);
    restartTimer(scrollIntervalMs);
}

void NewsBanner::restartTimer(int ms)
{
    interval = ms;
    timer.start(ms, this);
}

void NewsBanner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        restartTimer(scrollIntervalMs);
    }
    xOffset -= 0.5f;
    update();
}

void NewsBanner::paintEvent(QPaintEvent*)
{
    if (paused)
        return;
    if (int(xOffset) > width())
        xOffset = float(width() - 10);
    QPainter painter(this);
    painter.translate(qreal(xOffset), (height() - textHeight) * 0.5);
    document->drawContents(&painter);
    if (int(xOffset) + textWidth < -10) {
        // The text has left on the left: stay empty for a while, then enter again on the right.
        paused = true;
        xOffset = float(width() - 10);
        restartTimer(pauseMs);
    }
    setCursor(linkAt(mapFromGlobal(QCursor::pos())).isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

QString NewsBanner::linkAt(const QPoint& point) const
{
    return document->documentLayout()->anchorAt(QPointF(point.x() - int(xOffset), point.y()));
}

void NewsBanner::mousePressEvent(QMouseEvent* event)
{
    const QString link = linkAt(event->pos());
    if (!link.isEmpty())
        openWebAddress(link);
    else if (!clickUrl.isEmpty())
        openWebAddress(clickUrl);
    event->accept();
}
