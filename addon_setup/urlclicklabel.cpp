#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

const char *const UrlClickLabel::catalogueUrl = "https://addons.voxmere.com/";

UrlClickLabel::UrlClickLabel(QWidget *parent) : QLabel(parent, Qt::WindowFlags())
{
    setCursor(Qt::PointingHandCursor);
}

UrlClickLabel::~UrlClickLabel() = default;

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QLabel::mousePressEvent(event);
        return;
    }
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(catalogueUrl), QUrl::TolerantMode));
    event->accept();
}
