#pragma once
// Scaffolding shared by the tests: serial lines held raw by the test, counter frames
// and commands, a receive path over a real table, and small file helpers.

#include "line/module1.h"
#include "line/reply_framing.h"
#include "table/counter_table.h"

#include <QAbstractItemModelTester>
#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStringList>

#include <array>

// The serial lines are POSIX pseudo-terminals; a Windows build of the core's tests
// (run under Wine) has the rest.
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#ifdef Q_OS_UNIX
// --- serial lines ----------------------------------------------------------------

// One end of a serial line, raw and non-blocking, as the counter's side of the cable.
class RawLine
{
public:
    RawLine() = default;
    RawLine(const RawLine &) = delete;
    RawLine &operator=(const RawLine &) = delete;
    ~RawLine() { close(); }

    int fd = -1;

    // Opens a device (a pseudo-terminal another process made) raw.
    bool open(const QString &path)
    {
        close();
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 && makeRaw(fd);
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool write(const QByteArray &bytes) const
    {
        return fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Whatever is there now, without waiting.
    QByteArray readAvailable()
    {
        QByteArray out;
        char buf[512];
        for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;)
            out.append(buf, n);
        return out;
    }
    // Up to `count` bytes; fewer only when nothing comes for `patienceMs`. The event
    // loop keeps running, so a writer in this process gets its turn.
    QByteArray read(qsizetype count, int patienceMs = 10000)
    {
        QByteArray got;
        QDeadlineTimer patience(patienceMs);
        while (fd >= 0 && got.size() < count && !patience.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            pollfd p {fd, POLLIN, 0};
            if (::poll(&p, 1, int(qMin<qint64>(20, patience.remainingTime()))) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fd, buf, size_t(qMin<qsizetype>(sizeof buf, count - got.size())));
            if (n <= 0)
                break;
            got.append(buf, n);
            patience.setRemainingTime(patienceMs);
        }
        return got;
    }
    // Whatever arrives before the line stays quiet for `quietMs`.
    QByteArray drain(int quietMs = 300) { return read(1 << 20, quietMs); }

    static bool makeRaw(int fd)
    {
        termios tio {};
        if (::tcgetattr(fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        return ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }
};

// A pseudo-terminal pair: the test keeps the master raw; the program opens the slave
// by its name. The test's own slave handle stays open so the line settings can be read.
class PtyPair : public RawLine
{
public:
    int slave = -1;
    QByteArray slavePath;
    QByteArray seen; // everything line() has read so far

    PtyPair()
    {
        char name[256] = {};
        if (::openpty(&fd, &slave, name, nullptr, nullptr) != 0)
            return;
        makeRaw(fd);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        slavePath = name;
    }
    ~PtyPair() { unplug(); }
    bool ok() const { return fd >= 0 && !slavePath.isEmpty(); }
    void closeMaster() { close(); }
    // The cable pulled: nobody is left on the far end.
    void unplug()
    {
        close();
        if (slave >= 0)
            ::close(slave);
        slave = -1;
    }
    // What the program has put on the line so far.
    const QByteArray &line()
    {
        seen += readAvailable();
        return seen;
    }
};

#endif // Q_OS_UNIX

// --- what travels on the line ------------------------------------------------------

// A data frame as the counter sends it, 42 bytes: STX 'D', the record number in two
// digits and a blank, five 5-digit counts each followed by a blank, the 6-digit total
// of the counts, CR.
inline QByteArray dataFrame(int number, const std::array<int, 5> &counts)
{
    QByteArray f("\x02" "D");
    f += QByteArray::number(number).rightJustified(2, '0') + ' ';
    int total = 0;
    for (int c : counts) {
        f += QByteArray::number(c).rightJustified(5, '0') + ' ';
        total += c;
    }
    return f + QByteArray::number(total).rightJustified(6, '0') + '\r';
}

inline const QByteArray rddAll("\x02RDD ALL\x03\r");
inline const QByteArray rddNow("\x02RDD NOW\x03\r");
inline const QByteArray clrAll("\x02" "CLR ALL\x03\r");
inline const QByteArray ackReply("\x06\r");
inline const QByteArray nakReply("\x02\x15\r");

// --- the receive path -----------------------------------------------------------

// Keeps everything the receive path logged and every verdict it gave.
struct RecordingSink : ReceiveSink
{
    QByteArray log;
    QStringList statuses;
    void appendLog(char c) override { log.append(c); }
    void setStatus(const QString &text) override { statuses << text; }
    QString status() const { return statuses.isEmpty() ? QString() : statuses.last(); }
};

// Shared state and a set-up table fed one character at a time, as the program feeds it.
struct Receiver
{
    Module1 state;
    CounterTable table;
    // Every change the table announces is checked against Qt's model contract.
    QAbstractItemModelTester modelCheck{&table, QAbstractItemModelTester::FailureReportingMode::QtTest};
    RecordingSink sink;
    Receiver() { table.SetupCounterTable(); }
    void feed(const QByteArray &bytes)
    {
        for (char c : bytes)
            receiveCharacter(state, table, sink, c);
    }
};

// --- files ------------------------------------------------------------------------

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

#ifdef Q_OS_UNIX
// --- another user ------------------------------------------------------------------

// Drops root for good, as the tests' unprivileged children do: user and group
// nobody, no other groups.
inline bool becomeNobody()
{
    return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

// What such a child cannot reach of what a test needs: the first of `paths` it cannot
// look up, or "any lock folder" when it may write in none of the folders Qt keeps
// serial port locks in (Qt then refuses every open before looking at the device).
// Empty when it reaches them all. Where the root folder itself is closed to others
// (a root made in a private mktemp -d folder), it reaches nothing at all.
inline QString unreachableAsNobody(const QList<QByteArray> &paths)
{
    const pid_t child = ::fork();
    if (child < 0)
        return QStringLiteral("anything (fork failed)");
    if (child == 0) {
        if (!becomeNobody())
            ::_exit(255);
        for (qsizetype k = 0; k < paths.size(); ++k) {
            struct stat info {};
            if (::stat(paths[k].constData(), &info) != 0)
                ::_exit(int(k + 1));
        }
        for (const char *folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp",
                                   "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
            if (::access(folder, R_OK | W_OK | X_OK) == 0)
                ::_exit(0);
        }
        ::_exit(254);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return QStringLiteral("anything (the child did not finish)");
    const int code = WEXITSTATUS(status);
    if (code == 0)
        return {};
    if (code == 254)
        return QStringLiteral("any lock folder");
    if (code == 255)
        return QStringLiteral("anything (it could not give up root)");
    return QString::fromLocal8Bit(paths.value(code - 1));
}

// Why a test that opens a device as another user cannot run here, or nothing.
inline QString nobodyCannotTry(const QList<QByteArray> &paths)
{
    const QString what = unreachableAsNobody(paths);
    if (what.isEmpty())
        return {};
    return QStringLiteral("user nobody cannot reach %1 on this machine (a folder on the way, perhaps / itself, "
                          "is closed to other users), so no open can be tried as another user")
        .arg(what);
}

#endif // Q_OS_UNIX
