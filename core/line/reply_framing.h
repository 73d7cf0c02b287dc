#pragma once

#include "line/module1.h"

#include <QString>

class CounterTable;

namespace Verdict {
inline const QString Error = QStringLiteral("ERROR...");
// Two texts on purpose, not a typo: the counter's ACK reply reads "COMMAND OK!", a
// data frame "COMMAND OK !" with a blank, so the operator can tell which arrived.
inline const QString AckOk = QStringLiteral("COMMAND OK!");
inline const QString DataOk = QStringLiteral("COMMAND OK !");
inline const QString CommandError = QStringLiteral("COMMAND ERROR...");
inline const QString TableFull = QStringLiteral("TABLE FULL...");
}

namespace Ctl {
inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char ACK = 0x06;
inline constexpr char CR = 0x0D;
inline constexpr char NAK = 0x15;
}

// Where the receive path writes what the operator sees: the raw log and the status
// label. The main window implements it with its controls; tests and tools with plain
// buffers.
class ReceiveSink
{
public:
    virtual ~ReceiveSink() = default;
    virtual void appendLog(char c) = 0;
    virtual void setStatus(const QString &text) = 0;
};

// Handles one received character: logs it, then assembles it into the open frame or
// opens one, and gives a complete frame its verdict (data frames are stored in
// FrameStore[FrameCount], decoded into row FrameCount + 1, then counted).
void receiveCharacter(Module1 &state, CounterTable &table, ReceiveSink &sink, char c);

// Forces the idle state and forgets every stored frame. PendingFrame is left as it is;
// the next lead character replaces it.
void ResetReception(Module1 &state);
