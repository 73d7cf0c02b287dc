#include "line/port_control.h"
#include "line/comm_control.h"

void OpenPort(const Module1 &state, CommControl &port, bool withLeadingClose)
{
    if (withLeadingClose)
        port.setPortOpen(false);
    port.setCommPort(state.PortNumber);
    port.setSettings(QString::fromLatin1(LineSettings));
    port.setPortOpen(true);
    // RTS goes up only once the port is open.
    port.setRTSEnable(true);
}

void ClosePort(CommControl &port)
{
    port.setRTSEnable(false);
    port.setPortOpen(false);
}
