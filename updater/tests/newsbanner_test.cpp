// The news ticker (offscreen), driven tick by tick through its own timer event: the scroll, the
// pause after the text has left and its re-entry, the click address of the comment and of links,
// and what it never opens or loads. Also the clickable label of the banner image.
#include "newsbanner.h"
#include "testsupport.h"
#include "urlclicklabel.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QImage>
#include <QTest>
#include <QTimerEvent>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

// Records what the ticker hands to the desktop's URL handler instead of opening a browser.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    UrlRecorder()
    {
        for (const char* scheme : schemes)
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~UrlRecorder() override
    {
        for (const char* scheme : schemes)
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    QStringList opened;

public slots:
    void open(const QUrl& url) { opened << url.toString(); }

private:
    static constexpr const char* schemes[] = {"http", "https", "file", "data", "ftp"};
};
constexpr const char* UrlRecorder::schemes[];

class NewsBannerTest : public ::testing::Test
{
protected:
    void SetUp() override { banner.resize(width, 16); }

    void tick(int count = 1)
    {
        for (int i = 0; i < count; ++i) {
            QTimerEvent event(banner.timerId());
            QCoreApplication::sendEvent(&banner, &event);
        }
    }
    void paint() { banner.grab(); }
    // Ticks until the text's left edge is at x.
    void scrollTo(int x)
    {
        tick(int((banner.offset() - x) * 2));
        ASSERT_EQ(banner.offset(), x);
    }

    static constexpr int width = 400;
    NewsBanner banner;
    UrlRecorder recorder;
};

TEST_F(NewsBannerTest, TextScrollsLeavesPausesAndEntersAgain)
{
    banner.setBanner("<b>Voxmere news</b>");
    const int textWidth = banner.textSize().width();
    ASSERT_GT(textWidth, 0);
    EXPECT_EQ(banner.minimumHeight(), banner.textSize().height());
    EXPECT_EQ(banner.maximumHeight(), banner.textSize().height());
    EXPECT_EQ(banner.offset(), width - 10);
    EXPECT_EQ(banner.timerInterval(), 10);

    tick(3);
    EXPECT_EQ(banner.offset(), width - 10 - 1.5);

    // Still visible with its right end 10 pixels left of the edge: no pause yet.
    scrollTo(-10 - textWidth);
    paint();
    EXPECT_FALSE(banner.isPaused());
    // Half a pixel further it has left.
    tick(2);
    paint();
    EXPECT_TRUE(banner.isPaused());
    EXPECT_EQ(banner.offset(), width - 10);
    EXPECT_EQ(banner.timerInterval(), NewsBanner::pauseMs);

    // While paused nothing is drawn and nothing moves.
    paint();
    EXPECT_TRUE(banner.isPaused());
    EXPECT_EQ(banner.offset(), width - 10);

    // The next tick (3000 ms later) lets the text enter again from the right.
    tick();
    EXPECT_FALSE(banner.isPaused());
    EXPECT_EQ(banner.timerInterval(), 10);
    EXPECT_EQ(banner.offset(), width - 10 - 0.5);
}

TEST_F(NewsBannerTest, WidgetShrunkBelowTheOffsetRestartsAtTheRightEdge)
{
    banner.setBanner("news");
    banner.resize(100, banner.height());
    paint();
    EXPECT_EQ(banner.offset(), 90);
    // A fresh text always starts at the right edge and unpaused.
    banner.setBanner("other news");
    EXPECT_EQ(banner.offset(), 90);
}

TEST_F(NewsBannerTest, ClickOpensTheLinkOrElseTheCommentAddress)
{
    banner.setBanner("<!--URL=https://news.example/all--><a href=\"https://news.example/one\">link</a>"
                     " and some more words");
    EXPECT_EQ(banner.clickAddress(), "https://news.example/all");
    scrollTo(0);
    const QPoint onLink(3, banner.height() / 2);
    const QPoint onText(banner.textSize().width() - 3, banner.height() / 2);
    ASSERT_EQ(banner.linkAt(onLink), "https://news.example/one");
    ASSERT_EQ(banner.linkAt(onText), "");

    QTest::mouseClick(&banner, Qt::LeftButton, {}, onLink);
    QTest::mouseClick(&banner, Qt::RightButton, {}, onText);
    // Beyond the text too: any press on the ticker counts.
    QTest::mouseClick(&banner, Qt::MiddleButton, {}, QPoint(width - 2, 2));
    EXPECT_EQ(recorder.opened,
              QStringList({"https://news.example/one", "https://news.example/all", "https://news.example/all"}));

    // Links move with the text.
    tick(20);
    EXPECT_EQ(banner.linkAt(onLink + QPoint(-10, 0)), "https://news.example/one");
}

TEST_F(NewsBannerTest, CommentAddressRules)
{
    struct Case {
        const char* html;
        const char* click;
    } cases[] = {
        {"<!--url=https://a.example/-->text", ""},   // the key is case-sensitive
        {"<!--URL = https://a.example/-->text", ""}, // and exact
        {"<!--URL=https://a.example/?x=1-->text", "https://a.example/?x=1"}, // split at the first "="
        {"<!--URL=https://a.example/--> text <!-- note -->", "https://a.example/--> text <!-- note "},
        {"no comment", ""},
    };
    for (const Case& c : cases) {
        banner.setBanner(QString::fromUtf8(c.html));
        EXPECT_EQ(banner.clickAddress(), QString::fromUtf8(c.click)) << c.html;
    }
    // A later text without a comment forgets the earlier address.
    banner.setBanner("<!--URL=https://a.example/-->x");
    banner.setBanner("y");
    QTest::mouseClick(&banner, Qt::LeftButton, {}, QPoint(width - 2, 2));
    EXPECT_TRUE(recorder.opened.isEmpty());
}

TEST_F(NewsBannerTest, OnlyWebAddressesAreOpened)
{
    banner.setBanner("<!--URL=file:///etc/passwd--><a href=\"data:text/html,hi\">data</a> "
                     "<a href=\"file:///etc/shadow\">file</a> <a href=\"/relative\">relative</a> words");
    scrollTo(0);
    for (int x = 1; x < banner.textSize().width(); x += 3)
        QTest::mouseClick(&banner, Qt::LeftButton, {}, QPoint(x, banner.height() / 2));
    EXPECT_TRUE(recorder.opened.isEmpty()) << recorder.opened.join(' ').toStdString();
}

TEST_F(NewsBannerTest, ImagesNamedByTheTextAreNotLoaded)
{
    const QString folder = testsupport::makeTempFolder("news");
    QImage image(40, 90, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(folder + "/tall.png"));
    banner.setBanner(QStringLiteral("<img src=\"file://%1/tall.png\"><img src=\"%1/tall.png\">news").arg(folder));
    EXPECT_LT(banner.textSize().height(), 90);
}

TEST(UrlClickLabelTest, AnyButtonOpensItsWebAddressAndNothingElse)
{
    UrlRecorder recorder;
    UrlClickLabel label;
    label.resize(100, 20);
    label.setUrl("https://www.example.com/offer?id=1");
    QTest::mouseClick(&label, Qt::LeftButton);
    QTest::mouseClick(&label, Qt::RightButton);
    EXPECT_EQ(recorder.opened, QStringList({"https://www.example.com/offer?id=1", "https://www.example.com/offer?id=1"}));

    recorder.opened.clear();
    for (const char* address : {"file:///etc/passwd", "data:text/html,<b>x</b>", "/etc/passwd", ""}) {
        label.setUrl(QString::fromLatin1(address));
        QTest::mouseClick(&label, Qt::LeftButton);
    }
    EXPECT_TRUE(recorder.opened.isEmpty()) << recorder.opened.join(' ').toStdString();
}

} // namespace

#include "newsbanner_test.moc"
