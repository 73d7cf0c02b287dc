#include "raw_text_box_layout.h"

#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace rawtext {

QString controlName(QChar picture)
{
    static const char *const names[] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
        "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
        "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",  "SP", "DEL"};
    return QString::fromLatin1(names[picture.unicode() - 0x2400]);
}

Metrics::Metrics(const QFont &f)
    : font(f)
    , smallFont(smallFontFor(f))
    , fm(font)
    , smallFm(smallFont)
{
}

QFont Metrics::smallFontFor(const QFont &f)
{
    QFont s = f;
    s.setPixelSize(std::max(MinLabelPixels, QFontMetrics(f).ascent() * LabelScaleNum / LabelScaleDen));
    return s;
}

} // namespace rawtext

using namespace rawtext;

void RawTextBox::View::buildRuns()
{
    runs.clear();
    total = 0;
    for (qsizetype i = 0; i < text.size();) {
        Run r{i, i + 1, isControlPicture(text.at(i)), total, 0};
        if (r.picture) {
            r.width = m.pictureWidth(text.at(i));
        } else {
            while (r.to < text.size() && !isControlPicture(text.at(r.to)))
                ++r.to;
            r.width = m.fm.horizontalAdvance(text.mid(r.from, r.to - r.from));
        }
        total += r.width;
        runs.append(r);
        i = r.to;
    }
}

int RawTextBox::View::xOf(qsizetype pos) const
{
    const qsizetype k = pos - first;
    for (const Run &r : runs) {
        if (k >= r.to)
            continue;
        if (r.picture || k <= r.from)
            return x0 + r.x;
        return x0 + r.x + m.fm.horizontalAdvance(text.mid(r.from, k - r.from));
    }
    return x0 + total;
}

qsizetype RawTextBox::View::nearest(int x) const
{
    qsizetype best = first;
    int bestDistance = INT_MAX;
    auto consider = [&](qsizetype k, int at) {
        if (std::abs(at - x) < bestDistance) {
            bestDistance = std::abs(at - x);
            best = first + k;
        }
    };
    for (const Run &r : runs) {
        int at = x0 + r.x;
        // Character by character is close enough to hit; each run starts exact.
        for (qsizetype k = r.from; k < r.to; ++k) {
            consider(k, at);
            at += r.picture ? r.width : m.fm.horizontalAdvance(text.at(k));
        }
    }
    consider(text.size(), x0 + total);
    return best;
}

QSize RawTextBox::sizeHint() const
{
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(QLatin1Char('x')) * PreferredChars,
                 fm.height() + 2 * TextMargin + FramePadding);
}

QSize RawTextBox::minimumSizeHint() const
{
    const QFontMetrics fm(font());
    return QSize(fm.height(), fm.height() + 2 * TextMargin + FramePadding);
}

QRect RawTextBox::contentsRectForText() const
{
    QStyleOptionFrame opt;
    opt.initFrom(this);
    opt.rect = rect();
    opt.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, this);
    opt.midLineWidth = 0;
    opt.state |= QStyle::State_Sunken | QStyle::State_ReadOnly;
    QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &opt, this);
    return r.adjusted(TextMargin, 0, -TextMargin, 0);
}

RawTextBox::View RawTextBox::layOut() const
{
    View v(font());
    v.area = contentsRectForText();
    v.x0 = v.area.left();
    const qsizetype size = m_bytes.size();
    const int width = v.area.width();
    if (size == 0 || width <= 0) {
        v.first = size;
        return v;
    }

    if (!m_followEnd) {
        // From the first character the operator scrolled to. Every character is at
        // least one pixel wide, so this many of them reach past the right edge.
        const qsizetype start = std::min(m_viewStart, size);
        const qsizetype take = std::min<qsizetype>(size - start, width + 1 - m_viewOffset);
        v.first = start;
        v.text = displayText(QByteArrayView(m_bytes).sliced(start, take));
        v.buildRuns();
        v.x0 = v.area.left() + m_viewOffset;
        // Unless the rest of the text fits: then the end goes to the right edge as when
        // following, rather than leave the box half empty.
        if (v.end() < size || v.x0 + v.total > v.area.right() + 1)
            return v;
    }

    // The last width bytes always fill the box; the rest of the text is never looked at.
    const qsizetype take = std::min<qsizetype>(size, width);
    const QString tail = displayText(QByteArrayView(m_bytes).last(take));
    // Walk back from the end to the first character that is still (partly) visible.
    qsizetype first = tail.size();
    for (int w = 0; first > 0 && w < width;)
        w += v.m.charWidth(tail.at(--first));
    // A few more, since a run can draw narrower than its characters one by one; they
    // fall outside the clip.
    first = std::max<qsizetype>(0, first - ExtraTailChars);
    v.first = size - take + first;
    v.text = tail.mid(first);
    v.buildRuns();
    // Too long: the end of the text stays at the right edge and the start is cut.
    const bool cut = v.first > 0 || v.total > width;
    v.x0 = cut ? v.area.right() + 1 - v.total : v.area.left();
    return v;
}

qsizetype RawTextBox::indexAt(int x) const
{
    const View v = layOut();
    qsizetype pos = v.nearest(x);
    // Dragging past an edge moves on by one character, and the view follows.
    if (x < v.area.left() && pos > 0 && v.xOf(pos) >= v.area.left())
        --pos;
    else if (x > v.area.right() && pos < m_bytes.size())
        ++pos;
    return pos;
}

qsizetype RawTextBox::firstFittingBefore(qsizetype end) const
{
    if (end <= 0)
        return 0;
    const Metrics m(font());
    const int width = contentsRectForText().width();
    const qsizetype take = std::min<qsizetype>(end, std::max(width, 1));
    const QString before = displayText(QByteArrayView(m_bytes).sliced(end - take, take));
    qsizetype i = before.size();
    for (int w = 0; i > 0 && w + m.charWidth(before.at(i - 1)) <= width;)
        w += m.charWidth(before.at(--i));
    return end - take + std::min(i, before.size() - 1);
}

void RawTextBox::ensureCursorVisible()
{
    // At the end without a selection: show the newest characters as they come.
    if (m_cursor == m_bytes.size() && !hasSelectedText()) {
        m_followEnd = true;
        return;
    }
    const View v = layOut();
    // Anywhere else the view stays put while characters arrive: pinned where it is.
    m_followEnd = false;
    m_viewStart = v.first;
    m_viewOffset = v.x0 - v.area.left();
    if (m_cursor < v.first || v.xOf(m_cursor) < v.area.left()) {
        m_viewStart = m_cursor;
        m_viewOffset = 0;
    } else if (m_cursor > v.end() || v.xOf(m_cursor) > v.area.right() + 1) {
        m_viewStart = firstFittingBefore(m_cursor);
        m_viewOffset = 0;
    }
}
