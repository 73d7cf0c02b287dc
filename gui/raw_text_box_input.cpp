#include "raw_text_box.h"
#include "raw_text_box_layout.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTimerEvent>

#include <algorithm>

namespace {

// Words for double clicks and Ctrl+arrows: runs of printable characters.
bool isWordByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b > 0x20 && b != 0x7F;
}

// A caption of Qt's own line edit menu, in Qt's translation. The screens are Japanese:
// without a translation loaded, Qt's Japanese text stands in.
QString lineEditCaption(const char *source, const char *japanese)
{
    const QString translated = QCoreApplication::translate("QLineEdit", source);
    return translated == QLatin1String(source) ? QString::fromUtf8(japanese) : translated;
}

} // namespace

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

void RawTextBox::selectAll()
{
    setSelection(0, m_bytes.size());
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
