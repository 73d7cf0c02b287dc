#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFrame>
#include <QString>

// A single-line text box that holds raw bytes, control characters included, and gives
// them back unchanged. Control characters are drawn as small dark boxes with their
// names ("STX", "CR", "DEL"), since few fonts have the Unicode control pictures
// that displayText() gives for them (U+2402 for STX). Bytes
// 0xA1-0xDF show as half-width katakana, other high bytes as U+FFFD. When the text is
// longer than the box, the most recent characters are shown.
//
// Appending is amortised O(1) however long the text grows (the receive log can run to
// millions of characters), and painting decodes only the characters that fit.
class RawTextBox : public QFrame
{
    Q_OBJECT
public:
    explicit RawTextBox(QWidget *parent = nullptr);

    QByteArray text() const { return m_bytes; }
    void setText(const QByteArray &bytes);
    void append(char c);
    void clear() { setText({}); }
    qsizetype size() const { return m_bytes.size(); }

    // What the box draws for the given bytes, one character per byte.
    static QString displayText(QByteArrayView bytes);
    // The bytes as characters for assistive tools: control characters kept as they are.
    static QString readableText(QByteArrayView bytes);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QRect contentsRectForText() const;

    QByteArray m_bytes;
    bool m_repaintRequested = false; // an update() is on its way to paintEvent
};
