#include "newsbanner.h"

#include "outsidetext.h"
#include "weburl.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimerEvent>

#include <algorithm>

namespace {

void openWebAddress(const QString& text)
{
    const QUrl address(text, QUrl::TolerantMode);
    if (isOpenableWebAddress(address))
        QDesktopServices::openUrl(address);
}

} // namespace

NewsBanner::NewsBanner(QWidget* parent) : QWidget(parent), document(new InertTextDocument(this))
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
    document->setBoundedHtml(html);
    document->setDocumentMargin(0);
    paused = false;
    xOffset = float(width() - 10);
    const QSizeF size = document->size();
    textWidth = int(size.width());
    // One line's height, whatever the text asks for: the window keeps its size.
    QTextDocument line;
    line.setDefaultFont(document->defaultFont());
    line.setDocumentMargin(0);
    line.setPlainText(QStringLiteral("X"));
    textHeight = int(line.size().height());
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
