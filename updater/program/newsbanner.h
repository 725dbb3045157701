#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class InertTextDocument;

// A one-line news ticker: scrolls a short HTML text from right to left, 0.5 pixel every 10 ms.
// When the text has left on the left the ticker stays empty for 3000 ms and the text enters again
// 10 pixels left of the right edge. A click on a link opens it; a click elsewhere opens the
// address of an "<!--URL=...-->" comment in the text, if any. Only http and https addresses are
// opened, and the text is laid out without loading anything it refers to (images stay empty),
// within the bounds of `InertTextDocument`, and never taller than one line.
class NewsBanner : public QWidget
{
    Q_OBJECT
public:
    static constexpr int scrollIntervalMs = 10;
    static constexpr int pauseMs = 3000;

    explicit NewsBanner(QWidget* parent = nullptr);

    void setBanner(const QString& html);

    // The state of the ticker, for the window's tests.
    qreal offset() const { return xOffset; }
    bool isPaused() const { return paused; }
    QString clickAddress() const { return clickUrl; }
    int timerId() const { return timer.timerId(); }
    int timerInterval() const { return interval; }
    QSize textSize() const { return QSize(textWidth, textHeight); }
    // The link of the document at a point of the widget (empty when there is none).
    QString linkAt(const QPoint& point) const;

protected:
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void restartTimer(int ms);

    QBasicTimer timer;
    InertTextDocument* document;
    float xOffset = 0;
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false;
    QString clickUrl;
    int interval = 0;
};
