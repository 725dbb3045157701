#pragma once

// Texts from outside a program (news, version names, mirrors' errors, package descriptions) are
// shown, never obeyed: as plain text, or as rich text in an `InertTextDocument`. Shared by `update`
// and `addon_setup`.

#include <QString>
#include <QTextDocument>

// A document that loads nothing a text names: no local file, device or address is read. Every
// image is an empty placeholder of 1 x 1 pixels, whatever size the text asks for; every other
// resource is nothing.
class InertTextDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

    // Bounds on rich text: beyond them the text is shown as plain text, so that any text lays out
    // in a fraction of a second (nested tables cost twice as much a level).
    static constexpr int maxRichTextLength = 64 * 1024;
    static constexpr int maxNesting = 8;

    // Rich text within the bounds above, else the text as it stands as plain text. Images are
    // sized to nothing. Returns whether the text was taken as rich text.
    bool setBoundedHtml(const QString& html);

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};
