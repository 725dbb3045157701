#pragma once

#include <QLabel>
#include <QString>

// A label that opens its web address in the browser when it is clicked (any mouse button). Only
// http and https addresses are opened: the banner's address comes from the network.
class UrlClickLabel : public QLabel
{
    Q_OBJECT
public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& address);
    QString getUrl() const { return url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString url;
};
