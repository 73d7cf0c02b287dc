#include "paint_pacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimerEvent>
#include <QWidget>

#include <algorithm>
#include <cmath>

PaintPacer::PaintPacer(QWidget *window, bool active)
    : QObject(window)
    , m_window(window)
    , m_active(active)
{
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const qreal hz = screen->refreshRate();
        if (hz >= 1)
            m_frameMs = std::max(1, int(std::lround(1000.0 / hz)));
    }
    m_clock.start();
    if (m_active)
        window->installEventFilter(this);
}

bool PaintPacer::presentsOnDisplay()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void PaintPacer::characterHandled()
{
    if (!m_active)
        return;
    const qint64 now = m_clock.elapsed();
    if (!m_unshown)
        m_afterQuiet = now - m_lastCharacterMs >= tailDelayMs();
    m_unshown = true;
    m_lastCharacterMs = now;
    if (!m_holding)
        return;
    // Characters keep coming: the held paint goes out once the interval is over, at a
    // character the thread is awake for anyway; else when the line goes quiet.
    if (now - m_lastPaintMs >= streamIntervalMs())
        paintNow();
    else
        m_tail.start(tailDelayMs(), Qt::PreciseTimer, this);
}

bool PaintPacer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest || m_forwarding)
        return false;
    const qint64 now = m_clock.elapsed();
    const qint64 sincePaint = now - m_lastPaintMs;
    if (!m_unshown || sincePaint >= streamIntervalMs() || (m_afterQuiet && sincePaint >= m_frameMs)) {
        m_lastPaintMs = now;
        m_unshown = false;
        m_holding = false;
        m_tail.stop();
        return false;
    }
    // Held back: the window's repaint manager asks no more until it has painted.
    m_holding = true;
    m_tail.start(tailDelayMs(), Qt::PreciseTimer, this);
    return true;
}

void PaintPacer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_tail.timerId()) {
        paintNow();
        return;
    }
    QObject::timerEvent(event);
}

void PaintPacer::paintNow()
{
    m_tail.stop();
    m_holding = false;
    m_unshown = false;
    m_lastPaintMs = m_clock.elapsed();
    QEvent request(QEvent::UpdateRequest);
    m_forwarding = true;
    QCoreApplication::sendEvent(m_window, &request);
    m_forwarding = false;
}
