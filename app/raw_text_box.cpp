#include "app/raw_text_box.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QFontMetrics>
#include <QList>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <climits>

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

    // QAccessibleTextInterface: read-only, no selection, caret at the end.
    void selection(int, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
    }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return characterCount(); }
    void setCursorPosition(int) override {}
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
};

QAccessibleInterface *rawTextBoxFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("RawTextBox") && object && object->isWidgetType())
        return new RawTextBoxAccessible(static_cast<RawTextBox *>(object));
    return nullptr;
}

// Inner margin between the frame and the text, as a line edit keeps it.
constexpr int TextMargin = 2;

} // namespace

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
    // Focusable like any text box; the main window takes its boxes out of the tab order.
    setFocusPolicy(Qt::StrongFocus);
}

void RawTextBox::setText(const QByteArray &bytes)
{
    const QByteArray old = m_bytes;
    m_bytes = bytes;
    update();
    if (QAccessible::isActive()) {
        QAccessibleTextUpdateEvent ev(this, 0, readableText(old), readableText(m_bytes));
        QAccessible::updateAccessibility(&ev);
    }
}

void RawTextBox::append(char c)
{
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
    return QSize(fm.horizontalAdvance(QLatin1Char('x')) * 17, fm.height() + 2 * TextMargin + 4);
}

QSize RawTextBox::minimumSizeHint() const
{
    const QFontMetrics fm(font());
    return QSize(fm.height(), fm.height() + 2 * TextMargin + 4);
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

namespace {

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

struct TailPainter
{
    QFont font;
    QFont smallFont;
    QFontMetrics fm;
    QFontMetrics smallFm;

    explicit TailPainter(const QFont &f)
        : font(f)
        , smallFont(smallFontFor(f))
        , fm(font)
        , smallFm(smallFont)
    {
    }

    static QFont smallFontFor(const QFont &f)
    {
        QFont s = f;
        s.setPixelSize(std::max(6, QFontMetrics(f).ascent() * 2 / 3));
        return s;
    }

    int pictureWidth(QChar ch) const { return smallFm.horizontalAdvance(controlName(ch)) + 4; }
    int charWidth(QChar ch) const
    {
        return isControlPicture(ch) ? pictureWidth(ch) : fm.horizontalAdvance(ch);
    }
    int runWidth(const QString &s, qsizetype from, qsizetype to) const
    {
        return fm.horizontalAdvance(s.mid(from, to - from));
    }
};

} // namespace

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

    if (m_bytes.isEmpty())
        return;

    const QRect area = contentsRectForText();
    if (area.width() <= 0)
        return;

    // Every character is at least one pixel wide, so the last area.width() bytes are
    // always enough to fill the box; the rest of the text is never looked at.
    const qsizetype take = std::min<qsizetype>(m_bytes.size(), area.width());
    const QString tail = displayText(QByteArrayView(m_bytes).last(take));
    const TailPainter tp(font());

    // Walk back from the end to the first character that is still (partly) visible.
    qsizetype first = tail.size();
    for (int w = 0; first > 0 && w < area.width();)
        w += tp.charWidth(tail.at(--first));
    // A few more, since a run can draw narrower than its characters one by one; they
    // fall outside the clip.
    first = std::max<qsizetype>(0, first - 8);

    // Runs of ordinary text between the control pictures, measured as drawn.
    struct Run
    {
        qsizetype from, to;
        bool picture;
        int width;
    };
    QList<Run> runs;
    int total = 0;
    for (qsizetype i = first; i < tail.size();) {
        Run r{i, i + 1, isControlPicture(tail.at(i)), 0};
        if (r.picture) {
            r.width = tp.pictureWidth(tail.at(i));
        } else {
            while (r.to < tail.size() && !isControlPicture(tail.at(r.to)))
                ++r.to;
            r.width = tp.runWidth(tail, r.from, r.to);
        }
        total += r.width;
        runs.append(r);
        i = r.to;
    }

    // Too long: the end of the text stays at the right edge and the start is cut.
    const bool cut = first > 0 || total > area.width();
    int x = cut ? area.right() + 1 - total : area.left();
    const int baseline = area.top() + (area.height() - tp.fm.height()) / 2 + tp.fm.ascent();
    const QColor textColor =
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text);

    p.setClipRect(area);
    for (const Run &r : runs) {
        if (r.picture) {
            const QChar ch = tail.at(r.from);
            const QRect box(x + 1, baseline - tp.fm.ascent() + 1, r.width - 2,
                            tp.fm.ascent() + tp.fm.descent() - 1);
            p.setPen(Qt::NoPen);
            p.setBrush(palette().color(QPalette::Dark));
            p.drawRoundedRect(box, 2, 2);
            p.setFont(tp.smallFont);
            p.setPen(palette().color(QPalette::Base));
            p.drawText(box, Qt::AlignCenter, controlName(ch));
        } else {
            p.setFont(tp.font);
            p.setPen(textColor);
            p.drawText(QPoint(x, baseline), tail.mid(r.from, r.to - r.from));
        }
        x += r.width;
    }
}

void RawTextBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        update();
    QFrame::changeEvent(event);
}
