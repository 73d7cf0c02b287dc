#pragma once

#include "link/module1.h"
#include "link/reply_framing.h"
#include "link/request.h"
#include "link/serial_comm_control.h"
#include "table/counter_table.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Exit statuses of qz7310-collect.
namespace CollectStatus {
inline constexpr int Done = 0;
inline constexpr int Usage = 1;
inline constexpr int PortNotOpened = 2;
inline constexpr int Incomplete = 3;   // an error reply, or a read-out with a doubt
inline constexpr int NotWritten = 4;
inline constexpr int NoReply = 5;      // silence: no records, or no counter
}

struct CollectOptions
{
    // The counter sends no end marker, so a read-out ends when the line has been
    // silent this long after the last character (see the manual page for the choice).
    static constexpr int DefaultQuietMs = 500;
    // How long to wait for the first character of a reply.
    static constexpr int DefaultTimeoutMs = 5000;

    int portNumber = 1;     // COMn, used when device is empty
    QString device;         // a device path given instead of COMn
    bool now = false;       // "RDD NOW" instead of "RDD ALL"
    bool clear = false;     // "CLR ALL" once a complete read-out is saved
    QString output;         // the CSV file; empty or "-": standard output
    int quietMs = DefaultQuietMs;
    int timeoutMs = DefaultTimeoutMs;
};

// One unattended read-out: opens the port as the window does, sends the request,
// feeds every character to the window's framing and decoding, ends the reply when the
// line goes quiet, judges whether it is complete, writes the CSV with the window's
// writer, and only then, when asked, clears the counter and checks its ACK.
// Reports one line per message() and ends with finished(status).
class ReadoutSession : public QObject, private ReceiveSink, private RequestView
{
    Q_OBJECT
public:
    // Longest reply taken: a full read-out is 4,200 characters; a line that keeps
    // talking past this is no counter answering a request.
    static constexpr qint64 MaxReplyBytes = 65536;

    ReadoutSession(SerialCommControl &port, const CollectOptions &options,
                   QObject *parent = nullptr);
    ~ReadoutSession() override;

    void start();

    bool waitingForFirstReply() const;
    bool clearing() const { return m_phase == Phase::Clearing; }
    int records() const { return m_state.FrameCount; }
    qint64 elapsedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    int status() const { return m_status; }
    // "COM1 (/dev/ttyS0)" for a port, or the device path as given.
    QString portLabel() const;

signals:
    void message(const QString &line);
    void finished(int status);

private:
    enum class Phase { Idle, Reading, Clearing, Done };

    // What came back for one request.
    struct Reply
    {
        qint64 bytes = 0;
        qint64 strayBytes = 0;        // outside any frame, dropped by the framing
        QStringList verdicts;         // one per closed frame, in order
        bool abandoned = false;       // a frame closed without its CR (too long)
        bool portLost = false;
        bool endless = false;         // more than MaxReplyBytes
    };

    // ReceiveSink
    void appendLog(char c) override;
    void setStatus(const QString &text) override;
    // RequestView
    void setTransmitText(const QByteArray &text) override { m_transmit = text; }
    QByteArray transmitText() const override { return m_transmit; }
    void clearRecordsAndStatus() override;
    RecordsAndStatus recordsAndStatus() const override;
    void restoreRecordsAndStatus(const RecordsAndStatus &saved) override;
    void clearReceiveLog() override {}
    void warnPortNotOpen(const QString &) override { m_sendRefused = true; }

    bool send(QByteArrayView word, QByteArrayView operand, Phase phase);
    void onComm();
    void endOfReply();
    void judgeReadout();
    void judgeClear();
    QStringList readoutDoubts() const;
    QString repliesText() const;
    bool writeCsv(QString *reason);
    QString outputLabel() const;
    void finish(int status);

    SerialCommControl &m_port;
    CollectOptions m_options;
    Module1 m_state;
    CounterTable m_table;
    QByteArray m_transmit;
    QString m_status5;            // Label5's text, as the window would show it
    char m_lastChar = 0;
    bool m_sendRefused = false;

    Phase m_phase = Phase::Idle;
    Reply m_reply;
    QTimer m_firstReply;
    QTimer m_quiet;
    QElapsedTimer m_clock;
    int m_status = -1;
};
