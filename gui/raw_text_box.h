#pragma once

#include <QBasicTimer>
#include <QByteArray>
#include <QByteArrayView>
#include <QFrame>
#include <QString>

#include <algorithm>

class QMenu;

// A single-line text box that holds raw bytes, control characters included, and gives
// them back unchanged. Control characters are drawn as small dark boxes with their
// names ("STX", "CR", "DEL"), since few fonts have the Unicode control pictures
// that displayText() gives for them (U+2402 for STX). Bytes
// 0xA1-0xDF show as half-width katakana, other high bytes as U+FFFD. When the text is
// longer than the box, the most recent characters are shown.
//
// The operator can read it as any read-only text box: a click focuses it, the mouse and
// the cursor keys (Home, End, arrows, with Shift) move and select through the whole text
// with the view following, Ctrl+C copies, Ctrl+A selects all, and the context menu offers
// both. Nothing edits it. While the cursor sits at the end without a selection, the view
// keeps showing the newest characters.
//
// Appending is amortised O(1) however long the text grows (the receive log can run to
// millions of characters), and painting decodes only the characters that fit. The box
// keeps at most maximumBytes(): there the older half goes, so a line that never stops
// cannot fill the memory; what is kept is what a copy gives.
//
// Its code, one concern a file: raw_text_box.cpp the text, the cursor and the painting;
// raw_text_box_layout where each character and labelled box goes; raw_text_box_input
// keys, mouse, context menu, focus and blink; raw_text_box_accessible what assistive
// tools read.
class RawTextBox : public QFrame
{
    Q_OBJECT
public:
    // Hours of a 9600-baud line even just after a drop; the box only ever shows its
    // last characters.
    static constexpr qsizetype DefaultMaximumBytes = 16 * 1024 * 1024;

    explicit RawTextBox(QWidget *parent = nullptr);

    QByteArray text() const { return m_bytes; }
    void setText(const QByteArray &bytes);
    void append(char c);
    void clear() { setText({}); }
    qsizetype size() const { return m_bytes.size(); }
    qsizetype maximumBytes() const { return m_maximumBytes; }
    void setMaximumBytes(qsizetype bytes);

    // Cursor and selection, in bytes from the start of the text.
    qsizetype cursorPosition() const { return m_cursor; }
    void setCursorPosition(qsizetype pos, bool keepAnchor = false);
    bool hasSelectedText() const { return m_cursor != m_anchor; }
    qsizetype selectionStart() const { return std::min(m_cursor, m_anchor); }
    qsizetype selectionEnd() const { return std::max(m_cursor, m_anchor); }
    QByteArray selectedBytes() const;
    void setSelection(qsizetype start, qsizetype length);

    // What the context menu offers; the caller owns it.
    QMenu *createContextMenu();

    // What the box draws for the given bytes, one character per byte.
    static QString displayText(QByteArrayView bytes);
    // The bytes as characters for the clipboard and assistive tools: 0x00-0x7F as they
    // are (control characters included), other bytes as drawn.
    static QString readableText(QByteArrayView bytes);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

public slots:
    void copy() const;
    void selectAll();
    void deselect();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    struct View;
    QRect contentsRectForText() const;
    View layOut() const;
    qsizetype indexAt(int x) const;
    qsizetype firstFittingBefore(qsizetype end) const;
    qsizetype wordStart(qsizetype pos) const;
    qsizetype wordEnd(qsizetype pos) const;
    void ensureCursorVisible();
    void cursorMoved(bool selectionChanged);
    void copyToSelectionClipboard() const;
    void restartBlink();
    void dropOldest(qsizetype count);

    QByteArray m_bytes;
    qsizetype m_maximumBytes = DefaultMaximumBytes;
    bool m_repaintRequested = false; // an update() is on its way to paintEvent

    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;        // the other end of the selection
    bool m_followEnd = true;       // the view keeps the last character at the right edge
    qsizetype m_viewStart = 0;     // when not following: the first character drawn,
    int m_viewOffset = 0;          // and its x from the left edge (0 or less)
    bool m_mouseSelecting = false;
    bool m_cursorOn = false;       // blink phase
    QBasicTimer m_blink;
};
