#include "line/queued_comm_control.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>

namespace {
// Events between two looks at the clock: a look costs about as much as a few
// notifications, a slice holds thousands.
constexpr int EventsPerClockLook = 32;
}

QByteArray QueuedCommControl::Input()
{
    QByteArray b = m_input;
    m_input.clear();
    return b;
}

void QueuedCommControl::queueReceived(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    // Consecutive reads share one entry until an event comes between them.
    if (!m_pending.empty() && m_pending.back().code == EventReceive && m_pending.size() > 1)
        m_pending.back().bytes.append(bytes);
    else
        m_pending.push_back({EventReceive, bytes.toByteArray()});
    m_pendingBytes += bytes.size();
    scheduleDelivery();
}

void QueuedCommControl::queueEvent(std::int16_t code)
{
    m_pending.push_back({code, {}});
    scheduleDelivery();
}

void QueuedCommControl::scheduleDelivery()
{
    if (m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, &QueuedCommControl::deliverPending, Qt::QueuedConnection);
}

void QueuedCommControl::deliverPending()
{
    m_deliveryQueued = false;
    // Bytes already taken from the line are delivered even when a handler closes or
    // reopens it part way through: they did arrive, and the operator expects to see
    // them. A handler that runs an event loop of its own may deliver the rest from
    // there; the shared queue keeps the order.
    QPointer<QueuedCommControl> alive(this);
    QElapsedTimer slice;
    slice.start();
    int untilClockLook = EventsPerClockLook;
    while (!m_pending.empty()) {
        if (--untilClockLook == 0) {
            untilClockLook = EventsPerClockLook;
            if (slice.hasExpired(DeliverySliceMs)) {
                scheduleDelivery();
                break;
            }
        }
        Pending &front = m_pending.front();
        m_event = front.code;
        if (front.code == EventReceive) {
            m_input = QByteArray(1, front.bytes.at(m_frontDone));
            --m_pendingBytes;
            if (++m_frontDone == front.bytes.size()) {
                m_pending.pop_front();
                m_frontDone = 0;
            }
        } else {
            m_input.clear();
            m_pending.pop_front();
        }
        emit OnComm();
        if (!alive)
            return;
    }
    m_input.clear();
    if (receiveRoom() > PendingLimit / 2)
        readMore();
}

void QueuedCommControl::lineFailed(const PortFailure &why, std::int16_t code)
{
    if (m_failed)
        return;
    // Reported once, and from now on the line reads as closed; the real close waits
    // until the line's own signal has returned.
    m_failed = true;
    m_lastFailure = why;
    const quint64 session = m_session;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (m_session == session)
                closeFailedLine();
        },
        Qt::QueuedConnection);
    queueEvent(code);
}

void QueuedCommControl::startSession()
{
    m_failed = false;
    ++m_session;
}
