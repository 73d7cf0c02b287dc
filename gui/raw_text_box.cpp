#include "raw_text_box.h"
#include "raw_text_box_accessible.h"
#include "raw_text_box_layout.h"

#include <QAccessible>
#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <climits>

using namespace rawtext;

namespace {

QChar shownChar(unsigned char b)
{
    if (b < 0x20)
        return QChar(0x2400 + b);
    if (b == 0x7F)
        return QChar(0x2421);
    if (b < 0x80)
        return QChar(b);
    if (b >= 0xA1 && b <= 0xDF) // Shift-JIS single-byte katakana
        return QChar(0xFF61 + (b - 0xA1));
    return QChar(QChar::ReplacementCharacter);
}

QChar readableChar(unsigned char b)
{
    return b < 0x80 ? QChar(b) : shownChar(b);
}

} // namespace

RawTextBox::RawTextBox(QWidget *parent)
    : QFrame(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(rawTextBoxAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setBackgroundRole(QPalette::Base);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::IBeamCursor);
    // Focusable like any text box; the main window takes its boxes out of the tab order.
    setFocusPolicy(Qt::StrongFocus);
}

void RawTextBox::setText(const QByteArray &bytes)
{
    const QByteArray old = m_bytes;
    m_bytes = bytes.size() > m_maximumBytes ? bytes.right(m_maximumBytes) : bytes;
    m_cursor = m_anchor = m_bytes.size();
    m_followEnd = true;
    update();
    if (QAccessible::isActive()) {
        QAccessibleTextUpdateEvent ev(this, 0, readableText(old), readableText(m_bytes));
        QAccessible::updateAccessibility(&ev);
    }
}

void RawTextBox::setMaximumBytes(qsizetype bytes)
{
    m_maximumBytes = std::max<qsizetype>(1, bytes);
    if (m_bytes.size() > m_maximumBytes)
        dropOldest(m_bytes.size() - m_maximumBytes);
}

void RawTextBox::dropOldest(qsizetype count)
{
    count = std::min(count, m_bytes.size());
    if (QAccessible::isActive()) {
        QAccessibleTextRemoveEvent ev(this, 0, readableText(QByteArrayView(m_bytes).first(count)));
        QAccessible::updateAccessibility(&ev);
    }
    // Qt moves the start of the array rather than the bytes after it.
    m_bytes.remove(0, count);
    m_cursor = std::max<qsizetype>(0, m_cursor - count);
    m_anchor = std::max<qsizetype>(0, m_anchor - count);
    if (m_viewStart < count) {
        m_viewStart = 0;
        m_viewOffset = 0;
    } else {
        m_viewStart -= count;
    }
    update();
}

void RawTextBox::append(char c)
{
    // One block of the most the box keeps, taken once the text is half that: growing
    // it past there would copy the whole log to a block twice the size.
    if (m_bytes.size() >= m_maximumBytes / 2 && m_bytes.capacity() < m_maximumBytes)
        m_bytes.reserve(m_maximumBytes);
    // The older half goes at once: the rest then fits in the block's first two thirds,
    // where Qt moves it back to the start instead of growing the block.
    if (m_bytes.size() >= m_maximumBytes)
        dropOldest(m_bytes.size() - m_maximumBytes / 2);
    // A cursor at the end without a selection stays at the end; one the operator put
    // elsewhere, and a selection, stay where they are.
    if (m_cursor == m_bytes.size() && m_anchor == m_cursor)
        m_cursor = m_anchor = m_bytes.size() + 1;
    m_bytes.append(c);
    // One repaint request until the next paint: characters arrive in bursts of
    // thousands, and asking again for each one costs more than storing it.
    if (!m_repaintRequested) {
        m_repaintRequested = true;
        update();
    }
    if (QAccessible::isActive()) {
        // Only the new character is announced: the cost stays flat as the log grows.
        QAccessibleTextInsertEvent ev(this, int(m_bytes.size() - 1),
                                      readableText(QByteArrayView(&c, 1)));
        QAccessible::updateAccessibility(&ev);
    }
}

QString RawTextBox::displayText(QByteArrayView bytes)
{
    QString s(bytes.size(), Qt::Uninitialized);
    QChar *out = s.data();
    for (char c : bytes)
        *out++ = shownChar(static_cast<unsigned char>(c));
    return s;
}

QString RawTextBox::readableText(QByteArrayView bytes)
{
    QString s(bytes.size(), Qt::Uninitialized);
    QChar *out = s.data();
    for (char c : bytes)
        *out++ = readableChar(static_cast<unsigned char>(c));
    return s;
}

void RawTextBox::setCursorPosition(qsizetype pos, bool keepAnchor)
{
    const bool hadSelection = hasSelectedText();
    m_cursor = std::clamp<qsizetype>(pos, 0, m_bytes.size());
    if (!keepAnchor)
        m_anchor = m_cursor;
    cursorMoved(hadSelection || hasSelectedText());
}

void RawTextBox::setSelection(qsizetype start, qsizetype length)
{
    m_anchor = std::clamp<qsizetype>(start, 0, m_bytes.size());
    m_cursor = std::clamp<qsizetype>(start + length, 0, m_bytes.size());
    cursorMoved(true);
}

void RawTextBox::deselect()
{
    if (!hasSelectedText())
        return;
    m_anchor = m_cursor;
    cursorMoved(true);
}

QByteArray RawTextBox::selectedBytes() const
{
    return m_bytes.mid(selectionStart(), selectionEnd() - selectionStart());
}

void RawTextBox::cursorMoved(bool selectionChanged)
{
    ensureCursorVisible();
    restartBlink();
    update();
    if (QAccessible::isActive()) {
        if (selectionChanged) {
            QAccessibleTextSelectionEvent ev(this, int(std::min<qsizetype>(selectionStart(), INT_MAX)),
                                             int(std::min<qsizetype>(selectionEnd(), INT_MAX)));
            ev.setCursorPosition(int(std::min<qsizetype>(m_cursor, INT_MAX)));
            QAccessible::updateAccessibility(&ev);
        } else {
            QAccessibleTextCursorEvent ev(this, int(std::min<qsizetype>(m_cursor, INT_MAX)));
            QAccessible::updateAccessibility(&ev);
        }
    }
}

void RawTextBox::paintEvent(QPaintEvent *)
{
    // From here on a new character asks for a repaint again. A request that found the
    // box hidden or empty-sized did nothing, but showing or resizing paints it anyway.
    m_repaintRequested = false;
    QPainter p(this);

    QStyleOptionFrame panel;
    panel.initFrom(this);
    panel.rect = rect();
    panel.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &panel, this);
    panel.midLineWidth = 0;
    panel.state |= QStyle::State_Sunken;
    panel.features = QStyleOptionFrame::None;
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &p, this);

    const bool showCursor = hasFocus() && m_cursorOn;
    if (m_bytes.isEmpty() && !showCursor)
        return;
    const View v = layOut();
    if (v.area.width() <= 0)
        return;

    const QPalette::ColorGroup group = !isEnabled() ? QPalette::Disabled
        : hasFocus()                                ? QPalette::Active
                                                    : QPalette::Inactive;
    const QColor textColor = palette().color(group, QPalette::Text);
    const int baseline = v.area.top() + (v.area.height() - v.m.fm.height()) / 2 + v.m.fm.ascent();
    const int lineTop = baseline - v.m.fm.ascent();
    p.setClipRect(v.area);

    // The selection's background, where it is in view.
    QRect highlight;
    const qsizetype selFrom = std::max(selectionStart(), v.first);
    const qsizetype selTo = std::min(selectionEnd(), v.end());
    if (selFrom < selTo) {
        const int x1 = v.xOf(selFrom);
        highlight = QRect(x1, v.area.top(), v.xOf(selTo) - x1, v.area.height());
        p.fillRect(highlight, palette().color(group, QPalette::Highlight));
    }

    for (const View::Run &r : v.runs) {
        const int x = v.x0 + r.x;
        if (x > v.area.right() || x + r.width < v.area.left())
            continue;
        if (r.picture) {
            const qsizetype pos = v.first + r.from;
            const bool selected = pos >= selectionStart() && pos < selectionEnd();
            const QRect box(x + LabelInset, lineTop + LabelInset, r.width - 2 * LabelInset,
                            v.m.fm.ascent() + v.m.fm.descent() - LabelInset);
            p.setPen(Qt::NoPen);
            p.setBrush(palette().color(group, selected ? QPalette::HighlightedText : QPalette::Dark));
            p.drawRoundedRect(box, LabelCornerRadius, LabelCornerRadius);
            p.setFont(v.m.smallFont);
            p.setPen(palette().color(group, selected ? QPalette::Highlight : QPalette::Base));
            p.drawText(box, Qt::AlignCenter, controlName(v.text.at(r.from)));
            continue;
        }
        const QString run = v.text.mid(r.from, r.to - r.from);
        p.setFont(v.m.font);
        p.setPen(textColor);
        p.drawText(QPoint(x, baseline), run);
        const QRect selectedPart = highlight & QRect(x, v.area.top(), r.width, v.area.height());
        if (!selectedPart.isEmpty()) {
            p.save();
            p.setClipRect(selectedPart & v.area);
            p.setPen(palette().color(group, QPalette::HighlightedText));
            p.drawText(QPoint(x, baseline), run);
            p.restore();
        }
    }

    if (showCursor && m_cursor >= v.first && m_cursor <= v.end()) {
        const int x = std::clamp(v.xOf(m_cursor), v.area.left(), v.area.right());
        p.fillRect(QRect(x, lineTop, 1, v.m.fm.height()), textColor);
    }
}

void RawTextBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        update();
    QFrame::changeEvent(event);
}
