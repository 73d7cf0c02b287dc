#pragma once

#include "line/comm_control.h"

#include <QByteArray>

// A stand-in serial control for the window benchmarks: always open, swallows what is
// written, and hands received bytes over one notification at a time, as the real
// control does.
class BenchCommControl : public CommControl
{
    Q_OBJECT
public:
    using CommControl::CommControl;

    void setCommPort(std::int16_t) override {}
    void setSettings(const QString &) override {}
    void setPortOpen(bool open) override { m_open = open; }
    bool portOpen() const override { return m_open; }
    void setRTSEnable(bool) override {}
    bool Output(const QByteArray &) override { return m_open; }
    std::int16_t CommEvent() const override { return m_event; }
    QByteArray Input() override
    {
        QByteArray b = m_input;
        m_input.clear();
        return b;
    }

    void receive(QByteArrayView bytes)
    {
        for (char c : bytes) {
            m_event = EventReceive;
            m_input = QByteArray(1, c);
            emit OnComm();
        }
        m_input.clear();
    }

private:
    bool m_open = false;
    std::int16_t m_event = 0;
    QByteArray m_input;
};
