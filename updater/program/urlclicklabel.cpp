#include "urlclicklabel.h"

#include "weburl.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent) : QLabel(parent) {}

void UrlClickLabel::setUrl(const QString& address)
{
    url = address;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    const QUrl address(url, QUrl::TolerantMode);
    if (isOpenableWebAddress(address))
        QDesktopServices::openUrl(address);
    event->accept();
}
