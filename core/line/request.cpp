#include "line/request.h"
#include "line/comm_control.h"
#include "line/port_failure_text.h"
#include "line/reply_framing.h"

QString portNotOpenWarningText(const PortFailure &failure, int port)
{
    // The menu entry as the operator reads it, without the access key's "&".
    QString text = QStringLiteral("通信ポートが開いていません。\n"
                                  "メニューの「ﾎﾟｰﾄ選択(P)」で通信ポートを選択してください。");
    const QString why = portFailureLine(port, failure);
    if (!why.isEmpty())
        text += QLatin1Char('\n') + why;
    return text;
}

QByteArray buildCommand(QByteArrayView word, QByteArrayView operand)
{
    QByteArray text;
    text.reserve(word.size() + operand.size() + 4); // STX, blank, ETX, CR
    text.append(Ctl::STX);
    text.append(word);
    text.append(' ');
    text.append(operand);
    text.append(Ctl::ETX);
    text.append(Ctl::CR);
    return text;
}

bool SendCommand(Module1 &state, CommControl &port, RequestView &view,
                 QByteArrayView word, QByteArrayView operand)
{
    // A closed port would take nothing; wiping the operator's table for it would
    // lose the records without a word.
    if (!port.portOpen()) {
        view.warnPortNotOpen(portNotOpenWarningText(port.lastFailure(), state.PortNumber));
        return false;
    }

    // The write comes after the clearing, so keep what the clearing takes in case
    // the write fails.
    const QByteArray previousTransmit = view.transmitText();
    const RecordsAndStatus previousRecords = view.recordsAndStatus();

    view.setTransmitText(buildCommand(word, operand));
    view.clearRecordsAndStatus();

    // What the box holds is what goes on the line.
    if (!port.Output(view.transmitText())) {
        view.restoreRecordsAndStatus(previousRecords);
        view.setTransmitText(previousTransmit);
        view.warnPortNotOpen(portNotOpenWarningText(port.lastFailure(), state.PortNumber));
        return false;
    }

    view.clearReceiveLog();
    ResetReception(state);
    return true;
}
