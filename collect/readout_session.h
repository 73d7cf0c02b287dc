#pragma once

#include "readout_judge.h"
#include "readout_output.h"
#include "readout_store.h"
#include "line/module1.h"
#include "line/reply_framing.h"
#include "line/request.h"
#include "table/counter_table.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

class LineCommControl;

// Exit statuses of qz7310-collect.
namespace CollectStatus {
inline constexpr int Done = 0;
inline constexpr int Usage = 1;
inline constexpr int PortNotOpened = 2;
inline constexpr int Incomplete = 3;   // an error reply, or a read-out with a doubt
inline constexpr int NotWritten = 4;   // a file or the store could not take the run; nothing was cleared
inline constexpr int NoReply = 5;      // silence: no records, or no counter
// CLR ALL went out, and afterwards not everything could be kept: late records only in
// the messages (printed whole), or the store could not note the clear. Every record
// read before the clear is saved.
inline constexpr int KeptOnlyInMessages = 6;
// Stopped by a signal: 128 plus its number, as a shell reports a program it stopped.
inline constexpr int stoppedBy(int signal) { return 128 + signal; }
}

struct CollectOptions
{
    // The counter sends no end marker, so a read-out ends when the line has been
    // silent this long after the last character (see the manual page for the choice).
    static constexpr int DefaultQuietMs = 500;
    // How long to wait for the first character of a reply.
    static constexpr int DefaultTimeoutMs = 5000;
    // A full read-out, 100 frames of 42 characters at 9600 baud (10 bits a character).
    static constexpr int LineTime100Ms = 4375;

    int portNumber = 1;     // COMn, used when device is empty
    QString device;         // a device path given instead of COMn
    bool now = false;       // "RDD NOW" instead of "RDD ALL"
    bool clear = false;     // "CLR ALL" once a complete read-out is saved
    QString output;         // the CSV file; empty or "-": standard output
    QString outputDir;      // instead: a new file in this folder (output_dir.h)
    bool overwrite = false; // an existing file with content may be replaced
    int quietMs = DefaultQuietMs;
    int timeoutMs = DefaultTimeoutMs;
    int deadlineMs = 0;     // --max-time; 0: replyDeadlineMs()'s default
    std::optional<StoreAddress> store; // --store: the history the run is added to
    QString counter;        // --counter: its name there; empty: the device's name
    bool noCsv = false;     // --store without --output or --output-dir: no CSV at all

    // A reply ends this long after its first character whatever comes: by default
    // twice a full read-out's line time plus the quiet time (after CLR ALL, plus the
    // time-out). A line that is never quiet (a streaming device, noise) would
    // otherwise keep a scheduled run going for hours.
    int replyDeadlineMs(bool clearing) const
    {
        return deadlineMs > 0 ? deadlineMs : 2 * LineTime100Ms + (clearing ? timeoutMs : quietMs);
    }
};

// One unattended read-out: opens the port as the window does, sends the request,
// keeps every byte of each reply (fed to the window's framing as well, for the
// progress and the clear's answer), ends a reply when the line goes quiet, and lets
// the judge decide. With --clear the read-out is asked for again until two replies in
// a row are alike (at most three); only then is the CSV written and CLR ALL sent.
// After CLR ALL the session ends on the counter's answer or on silence, and records
// that came before the answer go to a file of their own. Reports one line per
// message() and ends with finished(status).
class ReadoutSession : public QObject, private ReceiveSink, private RequestView
{
    Q_OBJECT
public:
    // Longest reply taken: a full read-out is 4,200 characters; a line that keeps
    // talking past this is no counter answering a request.
    static constexpr qint64 MaxReplyBytes = 65536;

    ReadoutSession(LineCommControl &port, const CollectOptions &options,
                   QObject *parent = nullptr);
    ~ReadoutSession() override;

    void start();
    // A signal asked the run to stop: nothing more is sent, the replies so far are
    // not saved, late records already received are; the line says what was done.
    void interrupt(int signal, const QString &name);

    bool waitingForFirstReply() const;
    bool clearing() const { return m_phase == Phase::Clearing; }
    int readouts() const { return int(m_replies.size()) + (m_phase == Phase::Reading ? 1 : 0); }
    int records() const { return m_state.FrameCount; }
    qint64 elapsedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    int status() const { return m_status; }
    // "COM1 (/dev/ttyS0)" for a port, or the device path as given.
    QString portLabel() const;
    // The counter's name in the store: --counter, else the device the port stands for.
    QString counterName() const;

signals:
    void message(const QString &line);
    void finished(int status);

private:
    enum class Phase { Idle, Reading, Clearing, Done };

    // ReceiveSink
    void appendLog(char) override {}
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
    void endOfReply(ReplyEnd end);
    void judgeReadout();
    void refuse(const Reply &reply, const ReadoutDecision &decision);
    void saveAndClear(const Reply &agreed);
    void judgeClear();
    // Every output that takes late records gets them; those kept nowhere are printed
    // whole. Returns the status the run ends with.
    int keepLateRecords(const ClearJudgement &judged, int status);
    // Saves `reply` (null: the silent counter's empty CSV) in every output; when one
    // cannot take it, says so and ends the run with status 4.
    bool saveOrStop(const QByteArray &reply);
    // A stop a signal asked for while this code blocked: ends the run; true if so.
    bool stoppedBeforeClear();
    QString clearAnswerText(const ClearJudgement &judged) const;
    QString outputLabel() const;
    QString notWritten() const;
    QString savedText() const;
    StoredReadout storedReadout(int status) const;
    int storeEnd(int status);
    void finish(int status);

    LineCommControl &m_port;
    CollectOptions m_options;
    Module1 m_state;
    CounterTable m_table;
    QByteArray m_transmit;
    QString m_status5;            // Label5's text, as the window would show it
    QString m_closedVerdict;      // the verdict of the frame the last character closed
    bool m_sendRefused = false;
    ReadoutOutputs m_outputs;     // the CSV's output first, the store last

    Phase m_phase = Phase::Idle;
    Reply m_reply;                // the reply being received
    QList<Reply> m_replies;       // the replies to RDD so far
    int m_savedRecords = 0;
    QTimer m_firstReply;
    QTimer m_quiet;
    QTimer m_deadline;
    QElapsedTimer m_clock;
    QDateTime m_started;          // names the file in outputDir
    std::unique_ptr<ReadoutStore> m_store;
    bool m_storeDone = false;     // the run's last word is in the store, or it failed: no more
    int m_runStatus = StatusNotEnded; // the status the store's row is written with
    QStringList m_messages;       // every message, for the store
    std::optional<RunVerdict> m_verdict; // what became of the read-out, for the store
    QList<QByteArray> m_savedFrames;
    QByteArray m_savedReply;
    QDateTime m_clearSent;
    ClearAnswer m_clearAnswer = ClearAnswer::None;
    QList<QByteArray> m_lateFrames;
    int m_status = -1;
};
