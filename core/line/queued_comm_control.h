#pragma once

#include "line/comm_control.h"
#include "line/port_failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <deque>

// The delivery every line shares: what a line takes in is queued here and handed to
// OnComm from the event loop, one notification per byte in arrival order, never from
// inside the line's own notifications, so a handler may close, reopen or write to the
// line freely. A line that fails is reported once and closed from the event loop,
// unless it has been closed or reopened by then.
//
// A line that never stops must not stop the program: one pass of the event loop
// delivers for at most DeliverySliceMs, then paints, input and timers run before the
// rest. A line that can wait (a network connection: the peer is held back by the
// transport) asks receiveRoom() before it reads, and is asked to read again
// (readMore) once the queue has room.
class QueuedCommControl : public CommControl
{
    Q_OBJECT
public:
    // Well within a display frame, long enough that the cost of going round the event
    // loop stays small beside the handlers'.
    static constexpr int DeliverySliceMs = 4;
    // Received bytes waiting for delivery beyond which a line that can wait stops
    // reading: a few slices' worth of bytes for the window.
    static constexpr qsizetype PendingLimit = 64 * 1024;

    using CommControl::CommControl;

    std::int16_t CommEvent() const final { return m_event; }
    QByteArray Input() final;
    PortFailure lastFailure() const final { return m_lastFailure; }

    // Received bytes not delivered yet.
    qsizetype pendingBytes() const { return m_pendingBytes; }

protected:
    // Every byte becomes its own EventReceive.
    void queueReceived(QByteArrayView bytes);
    void queueEvent(std::int16_t code);
    // How many more bytes a line that can wait may take now; 0 or less: none.
    qsizetype receiveRoom() const { return PendingLimit - m_pendingBytes; }

    // The open line is of no more use: keeps why, reports it once as `code` after
    // everything queued before it, and has closeFailedLine() called from the event
    // loop if the same session is still open then. From here until the next
    // startSession() lineHasFailed() is true.
    void lineFailed(const PortFailure &why, std::int16_t code = LineFailedEvent);
    bool lineHasFailed() const { return m_failed; }
    // At every open and every close: a failure's pending close is for an older
    // session from now on.
    void startSession();
    void setLastFailure(const PortFailure &failure) { m_lastFailure = failure; }

    // The line's own close of a failed line.
    virtual void closeFailedLine() = 0;
    // The queue has room again; a line that left bytes unread takes them now.
    virtual void readMore() {}

private:
    struct Pending
    {
        std::int16_t code;
        QByteArray bytes; // EventReceive: the bytes, one event each
    };

    void scheduleDelivery();
    void deliverPending();

    std::deque<Pending> m_pending;
    qsizetype m_frontDone = 0;    // bytes of the front entry already delivered
    qsizetype m_pendingBytes = 0;
    bool m_deliveryQueued = false;
    std::int16_t m_event = 0;
    QByteArray m_input;

    PortFailure m_lastFailure;
    bool m_failed = false;        // the open line failed; its close is on its way
    quint64 m_session = 0;        // changes at every open and close
};
