#pragma once

#include <QLabel>

// A label that opens the add-on catalogue site when it is clicked with the left button.
class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);
    ~UrlClickLabel() override;

    static const char *const catalogueUrl;

protected:
    void mousePressEvent(QMouseEvent *event) override;
};
