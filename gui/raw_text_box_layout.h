#pragma once

// The layout of a RawTextBox's line: where each character goes, with control
// characters drawn as small labelled boxes. Shared by the box's own files only.

#include "raw_text_box.h"

#include <QFont>
#include <QFontMetrics>
#include <QList>
#include <QRect>
#include <QString>

namespace rawtext {

// Inner margin between the frame and the text, as a line edit keeps it.
constexpr int TextMargin = 2;
// Room above and below the text beyond the margins, as a line edit's frame takes it.
constexpr int FramePadding = 4;
// A box wide enough for this many average characters when nothing sets its width.
constexpr int PreferredChars = 17;
// The labelled boxes drawn for control characters: their name in a font this part of
// the text's ascent (never below MinLabelPixels), a pixel of air on each side, and
// slightly rounded corners.
constexpr int LabelScaleNum = 2;
constexpr int LabelScaleDen = 3;
constexpr int MinLabelPixels = 6;
constexpr int LabelPadding = 4;
constexpr int LabelInset = 1;
constexpr qreal LabelCornerRadius = 2;
// Characters decoded beyond those that fit, for kerning across a run.
constexpr int ExtraTailChars = 8;

inline bool isControlPicture(QChar ch)
{
    return ch.unicode() >= 0x2400 && ch.unicode() <= 0x2421;
}

// Few fonts carry the control pictures, so they are drawn here: the character's
// short name in a small box, which reads the same on every machine.
QString controlName(QChar picture);

struct Metrics
{
    QFont font;
    QFont smallFont;
    QFontMetrics fm;
    QFontMetrics smallFm;

    explicit Metrics(const QFont &f);
    static QFont smallFontFor(const QFont &f);

    int pictureWidth(QChar ch) const { return smallFm.horizontalAdvance(controlName(ch)) + LabelPadding; }
    int charWidth(QChar ch) const
    {
        return isControlPicture(ch) ? pictureWidth(ch) : fm.horizontalAdvance(ch);
    }
};

} // namespace rawtext

// The characters that are on screen (and a few beyond the left edge), split into runs of
// ordinary text between the control pictures, with their places.
struct RawTextBox::View
{
    struct Run
    {
        qsizetype from, to; // in text
        bool picture;
        int x;              // from x0
        int width;
    };

    explicit View(const QFont &f)
        : m(f)
    {
    }

    rawtext::Metrics m;
    QRect area;
    qsizetype first = 0; // byte offset of text.at(0)
    QString text;
    QList<Run> runs;
    int x0 = 0;
    int total = 0;

    qsizetype end() const { return first + text.size(); }

    void buildRuns();
    // x of the boundary before byte `pos` (first <= pos <= end()).
    int xOf(qsizetype pos) const;
    // The boundary nearest to x among those laid out.
    qsizetype nearest(int x) const;
};
