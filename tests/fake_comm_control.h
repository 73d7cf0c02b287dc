#pragma once

#include "line/comm_control.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// A scripted serial control: records every call in order and delivers bytes one
// OnComm at a time, as the real control does.
class FakeCommControl : public CommControl
{
    Q_OBJECT
public:
    using CommControl::CommControl;

    QStringList calls;        // "CommPort=3", "Settings=9600,n,8,1", "PortOpen=1", "RTS=0", "Output=..."
    QByteArray written;       // every byte Output accepted
    bool openSucceeds = true; // false: PortOpen=true leaves the port closed
    bool writeSucceeds = true;
    bool isOpen = false;
    bool rts = false;
    std::int16_t commPort = 0;
    std::function<void()> beforeWrite; // runs as Output is called, before anything else
    PortFailure failure;               // what lastFailure() reports

    void setCommPort(std::int16_t port) override
    {
        commPort = port;
        calls << QStringLiteral("CommPort=%1").arg(port);
    }
    void setSettings(const QString &s) override { calls << QStringLiteral("Settings=") + s; }
    void setPortOpen(bool open) override
    {
        calls << QStringLiteral("PortOpen=%1").arg(open ? 1 : 0);
        isOpen = open && openSucceeds;
    }
    bool portOpen() const override { return isOpen; }
    void setRTSEnable(bool enable) override
    {
        rts = enable;
        calls << QStringLiteral("RTS=%1").arg(enable ? 1 : 0);
    }
    bool Output(const QByteArray &bytes) override
    {
        if (beforeWrite)
            beforeWrite();
        calls << QStringLiteral("Output=") + QString::fromLatin1(bytes.toHex());
        if (!isOpen || !writeSucceeds)
            return false;
        written += bytes;
        return true;
    }
    PortFailure lastFailure() const override { return failure; }
    std::int16_t CommEvent() const override { return m_event; }
    QByteArray Input() override
    {
        QByteArray b = m_input;
        m_input.clear();
        return b;
    }

    // Delivers each byte as its own receive notification.
    void receive(const QByteArray &bytes)
    {
        for (char c : bytes) {
            m_event = EventReceive;
            m_input = QByteArray(1, c);
            emit OnComm();
        }
        m_input.clear();
    }
    // A notification that is not a receipt of characters.
    void otherEvent(std::int16_t code)
    {
        m_event = code;
        m_input.clear();
        emit OnComm();
    }

private:
    std::int16_t m_event = 0;
    QByteArray m_input;
};

// The calls the port dialog makes: RTS down while it is up, then COMn reopened.
inline QStringList portDialogCalls(int n)
{
    return {"RTS=0", "PortOpen=0", QStringLiteral("CommPort=%1").arg(n), "Settings=9600,n,8,1",
            "PortOpen=1", "RTS=1"};
}
