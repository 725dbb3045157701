#include "inerttextdocument.h"

#include <QImage>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextFrame>
#include <QTextImageFormat>
#include <QTextList>
#include <QVector>

#include <algorithm>

namespace {

// How deep frames (tables) and lists nest in a document that was never laid out.
int nestingDepth(const QTextDocument& document)
{
    int deepest = 0;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        int depth = block.textList() ? block.textList()->format().indent() : 0;
        for (QTextFrame* frame = QTextCursor(block).currentFrame(); frame; frame = frame->parentFrame())
            ++depth;
        deepest = std::max(deepest, depth - 1); // the root frame does not count
    }
    return deepest;
}

// Every image sized to nothing: its placeholder's own single pixel.
void shrinkImages(QTextDocument& document)
{
    struct Image
    {
        int position;
        int length;
        QTextCharFormat format;
    };
    QVector<Image> images; // changed after the walk, which a change could disturb
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QTextCharFormat format = fragment.charFormat();
            if (!format.isImageFormat() ||
                (!format.hasProperty(QTextFormat::ImageWidth) && !format.hasProperty(QTextFormat::ImageHeight)))
                continue;
            format.clearProperty(QTextFormat::ImageWidth);
            format.clearProperty(QTextFormat::ImageHeight);
            images.append({fragment.position(), fragment.length(), format});
        }
    }
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    QTextCursor cursor(&document);
    for (const Image& image : qAsConst(images)) {
        cursor.setPosition(image.position);
        cursor.setPosition(image.position + image.length, QTextCursor::KeepAnchor);
        cursor.setCharFormat(image.format);
    }
    document.setUndoRedoEnabled(undo);
}

} // namespace

bool InertTextDocument::setBoundedHtml(const QString& html)
{
    bool rich = html.size() <= maxRichTextLength;
    if (rich) {
        // Measured in a document of its own that is never laid out.
        InertTextDocument probe;
        probe.setHtml(html);
        rich = nestingDepth(probe) <= maxNesting;
    }
    if (!rich) {
        setPlainText(html);
        return false;
    }
    setHtml(html);
    shrinkImages(*this);
    return true;
}

QVariant InertTextDocument::loadResource(int type, const QUrl&)
{
    // Without an image the layout would read the named file itself.
    if (type != QTextDocument::ImageResource)
        return QVariant();
    QImage placeholder(1, 1, QImage::Format_ARGB32);
    placeholder.fill(Qt::transparent);
    return placeholder;
}
