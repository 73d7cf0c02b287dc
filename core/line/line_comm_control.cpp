#include "line/line_comm_control.h"

#include <QPointer>

LineCommControl::LineCommControl(QObject *parent)
    : CommControl(parent)
    , m_serial(new SerialCommControl(this))
    , m_network(new TcpCommControl(this))
    , m_line(m_serial)
{
    // Both are forwarded: bytes a line took before a switch still arrived on it.
    connect(m_serial, &CommControl::OnComm, this, [this] { forward(m_serial); });
    connect(m_network, &CommControl::OnComm, this, [this] { forward(m_network); });
}

LineCommControl::~LineCommControl() = default;

void LineCommControl::setCommPort(std::int16_t port)
{
    m_commPort = port;
    m_serial->setCommPort(port);
    m_network->setCommPort(port);
}

void LineCommControl::setSettings(const QString &settings)
{
    m_serial->setSettings(settings);
    m_network->setSettings(settings);
}

void LineCommControl::setPortOpen(bool open)
{
    if (!open) {
        m_line->setPortOpen(false);
        return;
    }
    if (m_line->portOpen())
        return;
    CommControl *next = address().isNetwork() ? static_cast<CommControl *>(m_network)
                                              : static_cast<CommControl *>(m_serial);
    if (next != m_line) {
        // A failed line may still hold its device until its close comes round.
        m_line->setPortOpen(false);
        m_line = next;
    }
    m_line->setPortOpen(true);
}

bool LineCommControl::portOpen() const
{
    return m_line->portOpen();
}

void LineCommControl::setRTSEnable(bool enable)
{
    m_serial->setRTSEnable(enable);
    m_network->setRTSEnable(enable);
}

bool LineCommControl::Output(const QByteArray &bytes)
{
    return m_line->Output(bytes);
}

QByteArray LineCommControl::Input()
{
    QByteArray b = m_input;
    m_input.clear();
    return b;
}

PortFailure LineCommControl::lastFailure() const
{
    return m_line->lastFailure();
}

void LineCommControl::setDevice(const QString &device)
{
    m_device = device;
    m_serial->setDevice(device);
    m_network->setDevice(device);
}

bool LineCommControl::onNetwork() const
{
    return m_line == m_network;
}

void LineCommControl::forward(CommControl *line)
{
    m_event = line->CommEvent();
    m_input = line->Input();
    QPointer<LineCommControl> alive(this);
    emit OnComm();
    if (alive)
        m_input.clear();
}
