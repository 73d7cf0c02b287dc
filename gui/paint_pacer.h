#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>

class QWidget;

// Keeps what received characters make a window draw to what a person can see.
//
// Every character is handled as it comes and the controls' texts and the table change
// at once; only the window's paints are held back. On a display server each paint is
// a round trip (the shared image must be free again before the next one), so a line
// handing over one character at a time would otherwise cost a paint, and its wakeups,
// for every character. Characters that come after a quiet line (a frame of the reply
// in one piece) are painted at once, at most once a display frame; while they keep
// coming one by one the window is painted once every `streamIntervalMs`, and once the
// line has been quiet for `tailDelayMs` (under a display frame) it is painted with the
// last character. The serial control hands a trickling line over a few characters every
// 5 ms (its read hold): the tail wait is longer than that, so a steady stream is not
// painted at every handover, and the hold plus the tail stay within a display frame. Paints that come from anything else (a click, a key, an exposed
// window) are not held back while no character is waiting to be shown, and nothing
// runs while the line is quiet.
class PaintPacer : public QObject
{
public:
    // Paces the paints of `window` (a top-level widget) when `active`; an inactive
    // pacer lets every paint through.
    PaintPacer(QWidget *window, bool active);

    // After each received character's handling.
    void characterHandled();

    bool isActive() const { return m_active; }
    // A display frame, and the pacing derived from it.
    int frameMs() const { return m_frameMs; }
    int streamIntervalMs() const { return m_frameMs * StreamFrames; }
    int tailDelayMs() const { return m_frameMs * 5 / 8; }
    // A paint of received characters is being held back.
    bool isHolding() const { return m_holding; }

    // Whether a platform presents paints on a display (offscreen and minimal do not, so
    // nothing is gained there by holding paints back).
    static bool presentsOnDisplay();

    // Display frames between two paints while characters keep coming.
    static constexpr int StreamFrames = 6;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    void paintNow();

    QWidget *m_window;
    bool m_active;
    int m_frameMs = 16;
    QElapsedTimer m_clock;
    qint64 m_lastPaintMs = -1000000;
    qint64 m_lastCharacterMs = -1000000;
    bool m_unshown = false;   // characters handled since the last paint
    bool m_afterQuiet = false; // and the first of them came after a quiet line
    bool m_holding = false;   // an update request was held back
    bool m_forwarding = false;
    QBasicTimer m_tail;
};
