#include "raw_text_box.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QList>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <climits>
#include <cstdlib>

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

// Exposes the raw text to assistive tools (value and text interface), so a screen
// reader reads what the box holds rather than the control pictures it draws.
class RawTextBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit RawTextBoxAccessible(RawTextBox *box)
        : QAccessibleWidget(box, QAccessible::EditableText)
    {
    }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return RawTextBox::readableText(box()->text());
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        return s;
    }

    // QAccessibleTextInterface: read-only; the selection and the cursor are the box's.
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex == 0 && box()->hasSelectedText()) {
            *startOffset = offset(box()->selectionStart());
            *endOffset = offset(box()->selectionEnd());
        }
    }
    int selectionCount() const override { return box()->hasSelectedText() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override
    {
        box()->setSelection(startOffset, endOffset - startOffset);
    }
    void removeSelection(int) override { box()->deselect(); }
    void setSelection(int, int startOffset, int endOffset) override
    {
        box()->setSelection(startOffset, endOffset - startOffset);
    }
    int cursorPosition() const override { return offset(box()->cursorPosition()); }
    void setCursorPosition(int position) override { box()->setCursorPosition(position); }
    QString text(int startOffset, int endOffset) const override
    {
        const QByteArray bytes = box()->text();
        startOffset = std::clamp<qsizetype>(startOffset, 0, bytes.size());
        endOffset = std::clamp<qsizetype>(endOffset, startOffset, bytes.size());
        return RawTextBox::readableText(QByteArrayView(bytes).sliced(startOffset, endOffset - startOffset));
    }
    int characterCount() const override { return int(std::min<qsizetype>(box()->size(), INT_MAX)); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    RawTextBox *box() const { return static_cast<RawTextBox *>(widget()); }
    static int offset(qsizetype pos) { return int(std::min<qsizetype>(pos, INT_MAX)); }
};

QAccessibleInterface *rawTextBoxFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("RawTextBox") && object && object->isWidgetType())
        return new RawTextBoxAccessible(static_cast<RawTextBox *>(object));
    return nullptr;
}

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

bool isControlPicture(QChar ch)
{
    return ch.unicode() >= 0x2400 && ch.unicode() <= 0x2421;
}

// Few fonts carry the control pictures, so they are drawn here: the character's
// short name in a small box, which reads the same on every machine.
QString controlName(QChar picture)
{
    static const char *const names[] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
        "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
        "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",  "SP", "DEL"};
    return QString::fromLatin1(names[picture.unicode() - 0x2400]);
}

// Words for double clicks and Ctrl+arrows: runs of printable characters.
bool isWordByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b > 0x20 && b != 0x7F;
}

struct Metrics
{
    QFont font;
    QFont smallFont;
    QFontMetrics fm;
    QFontMetrics smallFm;

    explicit Metrics(const QFont &f)
        : font(f)
        , smallFont(smallFontFor(f))
        , fm(font)
        , smallFm(smallFont)
    {
    }

    static QFont smallFontFor(const QFont &f)
    {
        QFont s = f;
        s.setPixelSize(std::max(MinLabelPixels, QFontMetrics(f).ascent() * LabelScaleNum / LabelScaleDen));
        return s;
    }

    int pictureWidth(QChar ch) const { return smallFm.horizontalAdvance(controlName(ch)) + LabelPadding; }
    int charWidth(QChar ch) const
    {
        return isControlPicture(ch) ? pictureWidth(ch) : fm.horizontalAdvance(ch);
    }
};

} // namespace

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

    Metrics m;
    QRect area;
    qsizetype first = 0; // byte offset of text.at(0)
    QString text;
    QList<Run> runs;
    int x0 = 0;
    int total = 0;

    qsizetype end() const { return first + text.size(); }

    void buildRuns()
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

    // x of the boundary before byte `pos` (first <= pos <= end()).
    int xOf(qsizetype pos) const
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

    // The boundary nearest to x among those laid out.
    qsizetype nearest(int x) const
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
};

RawTextBox::RawTextBox(QWidget *parent)
    : QFrame(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(rawTextBoxFactory);
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
    m_bytes = bytes;
    m_cursor = m_anchor = m_bytes.size();
    m_followEnd = true;
    update();
    if (QAccessible::isActive()) {
        QAccessibleTextUpdateEvent ev(this, 0, readableText(old), readableText(m_bytes));
        QAccessible::updateAccessibility(&ev);
    }
}

void RawTextBox::append(char c)
{
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

qsizetype RawTextBox::wordStart(qsizetype pos) const
{
    while (pos > 0 && !isWordByte(m_bytes.at(pos - 1)))
        --pos;
    while (pos > 0 && isWordByte(m_bytes.at(pos - 1)))
        --pos;
    return pos;
}

qsizetype RawTextBox::wordEnd(qsizetype pos) const
{
    const qsizetype size = m_bytes.size();
    while (pos < size && isWordByte(m_bytes.at(pos)))
        ++pos;
    while (pos < size && !isWordByte(m_bytes.at(pos)))
        ++pos;
    return pos;
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

void RawTextBox::selectAll()
{
    setSelection(0, m_bytes.size());
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

void RawTextBox::copy() const
{
    // The characters as they came: a control character goes on the clipboard as
    // itself, not as the box drawn for it.
    if (hasSelectedText())
        QGuiApplication::clipboard()->setText(readableText(selectedBytes()), QClipboard::Clipboard);
}

void RawTextBox::copyToSelectionClipboard() const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (hasSelectedText() && clipboard->supportsSelection())
        clipboard->setText(readableText(selectedBytes()), QClipboard::Selection);
}

namespace {
// A caption of Qt's own line edit menu, in Qt's translation. The screens are Japanese:
// without a translation loaded, Qt's Japanese text stands in.
QString lineEditCaption(const char *source, const char *japanese)
{
    const QString translated = QCoreApplication::translate("QLineEdit", source);
    return translated == QLatin1String(source) ? QString::fromUtf8(japanese) : translated;
}
} // namespace

QMenu *RawTextBox::createContextMenu()
{
    // Qt's own captions and shortcuts, as a read-only line edit offers them.
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("qt_edit_menu"));
    QAction *copyAction = menu->addAction(
        lineEditCaption("&Copy", "コピー(&C)") + QLatin1Char('\t')
            + QKeySequence(QKeySequence::Copy).toString(QKeySequence::NativeText),
        this, &RawTextBox::copy);
    copyAction->setObjectName(QStringLiteral("edit-copy"));
    copyAction->setEnabled(hasSelectedText());
    menu->addSeparator();
    QAction *allAction = menu->addAction(
        lineEditCaption("Select All", "すべてを選択") + QLatin1Char('\t')
            + QKeySequence(QKeySequence::SelectAll).toString(QKeySequence::NativeText),
        this, [this] {
            selectAll();
            copyToSelectionClipboard();
        });
    allAction->setObjectName(QStringLiteral("select-all"));
    allAction->setEnabled(!m_bytes.isEmpty() && selectionEnd() - selectionStart() < m_bytes.size());
    return menu;
}

void RawTextBox::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void RawTextBox::keyPressEvent(QKeyEvent *event)
{
    enum Where { PrevChar, NextChar, PrevWord, NextWord, Start, End };
    struct Move
    {
        QKeySequence::StandardKey key;
        Where where;
        bool select;
    };
    static const Move moves[] = {
        {QKeySequence::MoveToPreviousChar, PrevChar, false},
        {QKeySequence::SelectPreviousChar, PrevChar, true},
        {QKeySequence::MoveToNextChar, NextChar, false},
        {QKeySequence::SelectNextChar, NextChar, true},
        {QKeySequence::MoveToPreviousWord, PrevWord, false},
        {QKeySequence::SelectPreviousWord, PrevWord, true},
        {QKeySequence::MoveToNextWord, NextWord, false},
        {QKeySequence::SelectNextWord, NextWord, true},
        {QKeySequence::MoveToStartOfLine, Start, false},
        {QKeySequence::SelectStartOfLine, Start, true},
        {QKeySequence::MoveToEndOfLine, End, false},
        {QKeySequence::SelectEndOfLine, End, true},
        {QKeySequence::MoveToStartOfDocument, Start, false},
        {QKeySequence::SelectStartOfDocument, Start, true},
        {QKeySequence::MoveToEndOfDocument, End, false},
        {QKeySequence::SelectEndOfDocument, End, true},
    };

    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        copyToSelectionClipboard();
        return;
    }
    for (const Move &m : moves) {
        if (!event->matches(m.key))
            continue;
        qsizetype to = m_cursor;
        switch (m.where) {
        case PrevChar:
            // As in a line edit: without Shift an arrow first leaves the selection.
            to = (!m.select && hasSelectedText()) ? selectionStart() : m_cursor - 1;
            break;
        case NextChar:
            to = (!m.select && hasSelectedText()) ? selectionEnd() : m_cursor + 1;
            break;
        case PrevWord: to = wordStart(m_cursor); break;
        case NextWord: to = wordEnd(m_cursor); break;
        case Start: to = 0; break;
        case End: to = m_bytes.size(); break;
        }
        setCursorPosition(to, m.select);
        if (m.select)
            copyToSelectionClipboard();
        return;
    }
    // Read-only: keys that would edit do nothing here, the rest go on to the window.
    event->ignore();
}

void RawTextBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    m_mouseSelecting = true;
    setCursorPosition(indexAt(event->position().toPoint().x()),
                      event->modifiers() & Qt::ShiftModifier);
}

void RawTextBox::mouseMoveEvent(QMouseEvent *event)
{
    if (m_mouseSelecting && (event->buttons() & Qt::LeftButton))
        setCursorPosition(indexAt(event->position().toPoint().x()), true);
}

void RawTextBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_mouseSelecting) {
        m_mouseSelecting = false;
        copyToSelectionClipboard();
    }
}

void RawTextBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || m_bytes.isEmpty())
        return;
    qsizetype pos = std::min(indexAt(event->position().toPoint().x()), m_bytes.size() - 1);
    if (pos > 0 && !isWordByte(m_bytes.at(pos)) && isWordByte(m_bytes.at(pos - 1)))
        --pos;
    // A word, or the one control character or blank that was hit.
    qsizetype start = pos, end = pos + 1;
    if (isWordByte(m_bytes.at(pos))) {
        while (start > 0 && isWordByte(m_bytes.at(start - 1)))
            --start;
        while (end < m_bytes.size() && isWordByte(m_bytes.at(end)))
            ++end;
    }
    m_mouseSelecting = false;
    setSelection(start, end - start);
    copyToSelectionClipboard();
}

void RawTextBox::focusInEvent(QFocusEvent *event)
{
    restartBlink();
    update();
    QFrame::focusInEvent(event);
}

void RawTextBox::focusOutEvent(QFocusEvent *event)
{
    m_blink.stop();
    m_cursorOn = false;
    m_mouseSelecting = false;
    // Leaving for another control ends the reading: the selection goes, as in a line
    // edit, and the view follows the newest characters again. A menu or another
    // window taking the focus keeps both.
    if (event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason) {
        m_cursor = m_anchor = m_bytes.size();
        m_followEnd = true;
    }
    update();
    QFrame::focusOutEvent(event);
}

void RawTextBox::restartBlink()
{
    if (!hasFocus())
        return;
    m_cursorOn = true;
    const int flash = QApplication::cursorFlashTime();
    if (flash >= 2)
        m_blink.start(flash / 2, this);
    else
        m_blink.stop();
}

void RawTextBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_blink.timerId()) {
        m_cursorOn = !m_cursorOn;
        update();
        return;
    }
    QFrame::timerEvent(event);
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
