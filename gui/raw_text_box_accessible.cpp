#include "raw_text_box_accessible.h"
#include "raw_text_box.h"

#include <QAccessibleWidget>

#include <algorithm>
#include <climits>

namespace {

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

} // namespace

QAccessibleInterface *rawTextBoxAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("RawTextBox") && object && object->isWidgetType())
        return new RawTextBoxAccessible(static_cast<RawTextBox *>(object));
    return nullptr;
}
