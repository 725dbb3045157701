#include "urlclicklabel.h"

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
    if (isWebAddress(address))
        QDesktopServices::openUrl(address);
    event->accept();
}

bool isWebAddress(const QUrl& address)
{
    const QString scheme = address.scheme().toLower();
    return address.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !address.host().isEmpty();
}
