// SerialCommControl on real pseudo-terminals: the test holds the master side and
// plays the counter; the control opens the slave by the name QZ7310_COMn gives it.
// The network line the same way, with the test's QTcpServer as the device server.

#include "line/line_comm_control.h"
#include "line/port_failure_text.h"
#include "line/serial_comm_control.h"
#include "line/tcp_comm_control.h"
#include "test_support.h"

#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// Everything OnComm reported, as the receive handler would see it.
struct Recorder
{
    QList<std::int16_t> events;
    QByteArray received;
    QList<QByteArray> inputs;   // Input() of every receive notification
    QList<bool> openAtError;    // PortOpen when each error was reported
    bool inputEmptiedAfterRead = true;

    void attach(CommControl &c)
    {
        QObject::connect(&c, &CommControl::OnComm, &c, [this, &c] {
            events << c.CommEvent();
            if (c.CommEvent() >= CommControl::EventErrorBase)
                openAtError << c.portOpen();
            if (c.CommEvent() == CommControl::EventReceive) {
                const QByteArray in = c.Input();
                inputs << in;
                received += in;
                if (!c.Input().isEmpty())
                    inputEmptiedAfterRead = false;
            }
        });
    }
    int errorCount() const
    {
        int n = 0;
        for (std::int16_t e : events)
            n += e >= CommControl::EventErrorBase ? 1 : 0;
        return n;
    }
};

void mapPort(int n, const QByteArray &device)
{
    qputenv(qPrintable(QStringLiteral("QZ7310_COM%1").arg(n)), device);
}

// A control on COMn, mapped to a fresh pseudo-terminal and opened as the program
// opens it, with a recorder on its notifications.
struct OpenLine
{
    PtyPair pty;
    SerialCommControl control;
    Recorder rec;

    explicit OpenLine(int n)
    {
        mapPort(n, pty.slavePath);
        rec.attach(control);
        control.setCommPort(std::int16_t(n));
        control.setSettings(QStringLiteral("9600,n,8,1"));
        control.setPortOpen(true);
        control.setRTSEnable(true);
    }
};

// A device server played by the test: a QTcpServer on 127.0.0.1, COMn mapped to it,
// and the control the programs hold (LineCommControl) opened on it.
struct NetworkLine
{
    QTcpServer server;
    QTcpSocket *peer = nullptr;     // the server's side of the connection
    LineCommControl control;
    Recorder rec;

    explicit NetworkLine(int n)
    {
        if (!server.listen(QHostAddress::LocalHost))
            return;
        mapPort(n, "tcp://127.0.0.1:" + QByteArray::number(server.serverPort()));
        rec.attach(control);
        control.setCommPort(std::int16_t(n));
        control.setSettings(QStringLiteral("9600,n,8,1"));
        control.setPortOpen(true);
        control.setRTSEnable(true);
        if (server.waitForNewConnection(10000))
            peer = server.nextPendingConnection();
    }
    bool ok() const { return peer && control.portOpen() && control.onNetwork(); }
    // What the control has sent so far.
    QByteArray received;
    const QByteArray &line()
    {
        received += peer->readAll();
        return received;
    }
};

QByteArray everyByte()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    return all;
}

} // namespace

class TestSerialPty : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        for (int n = 1; n <= 4; ++n)
            qunsetenv(qPrintable(QStringLiteral("QZ7310_COM%1").arg(n)));
    }

    void portMapping();
    void settingsParsing_data();
    void settingsParsing();
    void settingsReachTheLine();
    void burstArrivesOneByteAtATime_data();
    void burstArrivesOneByteAtATime();
    void bytesArrivingDuringReadHold_data();
    void bytesArrivingDuringReadHold();
    void outputIsSentUnchanged();
    void missingDeviceStaysClosed();
    void windowsErrorsClassified_data();
    void windowsErrorsClassified();
    void portInUseStaysClosed();
    void permissionDeniedNamesTheGroup();
    void rtsOnPtyRaisesNoEvent();
    void handlerClosesOrReopensMidBurst();
    void handlerDeletesControlMidBurst();
    void farEndGoneClosesPortOnce();
    void networkAddresses_data();
    void networkAddresses();
    void portAddresses_data();
    void portAddresses();
    void networkOutputUnchangedRtsIgnored();
    void networkOpenFailures_data();
    void networkOpenFailures();
    void serverGoneClosesLineOnce_data();
    void serverGoneClosesLineOnce();
    void lineFollowsTheDeviceName();
};

void TestSerialPty::portMapping()
{
#ifdef Q_OS_WIN
    QCOMPARE(portDeviceName(1), QStringLiteral("COM1"));
    QCOMPARE(portDeviceName(4), QStringLiteral("COM4"));
#else
    for (int n = 1; n <= 4; ++n)
        QCOMPARE(portDeviceName(n), QStringLiteral("/dev/ttyS%1").arg(n - 1));

    qputenv("QZ7310_COM3", "/dev/ttyUSB0");
    QCOMPARE(portDeviceName(3), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(portDeviceName(2), QStringLiteral("/dev/ttyS1")); // only COM3 is mapped

    qputenv("QZ7310_COM3", "");
    QCOMPARE(portDeviceName(3), QStringLiteral("/dev/ttyS2"));

    qunsetenv("QZ7310_COM3");
    QCOMPARE(portDeviceName(3), QStringLiteral("/dev/ttyS2"));
#endif
    QVERIFY(portDeviceName(0).isEmpty());
    QVERIFY(portDeviceName(-1).isEmpty());
}

void TestSerialPty::settingsParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");

    QTest::newRow("line default") << "9600,n,8,1" << true << 9600 << int(SerialSettings::Parity::None)
                                  << 8 << int(SerialSettings::StopBits::One);
    QTest::newRow("even 7 2, upper case") << "19200,E,7,2" << true << 19200
                                          << int(SerialSettings::Parity::Even) << 7
                                          << int(SerialSettings::StopBits::Two);
    QTest::newRow("odd 5 1.5") << "300,o,5,1.5" << true << 300 << int(SerialSettings::Parity::Odd) << 5
                               << int(SerialSettings::StopBits::OneAndHalf);
    QTest::newRow("mark 6") << "1200,m,6,1" << true << 1200 << int(SerialSettings::Parity::Mark) << 6
                            << int(SerialSettings::StopBits::One);
    QTest::newRow("space, blanks") << " 4800 , s , 8 , 1 " << true << 4800
                                   << int(SerialSettings::Parity::Space) << 8
                                   << int(SerialSettings::StopBits::One);

    for (const char *bad : {"", "9600", "9600,n,8", "9600,n,8,1,0", "abc,n,8,1", "-9600,n,8,1",
                            "0,n,8,1", "+9600,n,8,1", "99999999999,n,8,1", "9600,x,8,1",
                            "9600,,8,1", "9600,n,4,1", "9600,n,9,1", "9600,n,8,0", "9600,n,8,3",
                            "9600,n,8,1.0", "9600;n;8;1"})
        QTest::newRow(bad[0] ? bad : "empty") << QString::fromLatin1(bad) << false << 0 << 0 << 0
                                              << 0;
}

void TestSerialPty::settingsParsing()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);

    const std::optional<SerialSettings> s = parseSerialSettings(text);
    QCOMPARE(s.has_value(), valid);

    SerialCommControl control;
    const SerialSettings before {2400, SerialSettings::Parity::Odd, 7, SerialSettings::StopBits::Two};
    control.setSettings(QStringLiteral("2400,o,7,2"));
    QCOMPARE(control.settings(), before);
    control.setSettings(text);

    if (!valid) {
        QCOMPARE(control.settings(), before); // a bad text leaves the previous setting
        return;
    }
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(int, dataBits);
    QFETCH(int, stopBits);
    QCOMPARE(s->baudRate, baud);
    QCOMPARE(int(s->parity), parity);
    QCOMPARE(int(s->dataBits), dataBits);
    QCOMPARE(int(s->stopBits), stopBits);
    QCOMPARE(control.settings(), *s);
}

void TestSerialPty::settingsReachTheLine()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    mapPort(1, pty.slavePath);

    SerialCommControl control;
    control.setCommPort(1);
    control.setSettings(QStringLiteral("19200,e,7,2"));
    control.setPortOpen(true);
    QVERIFY(control.portOpen());

    // The kernel keeps a pseudo-terminal at 8 bits without parity, so those two
    // are checked on the port object; speed and stop bits on the line itself.
    auto *port = control.findChild<QSerialPort *>();
    QVERIFY(port);
    termios tio {};
    QCOMPARE(::tcgetattr(pty.slave, &tio), 0);
    QCOMPARE(::cfgetispeed(&tio), speed_t(B19200));
    QCOMPARE(::cfgetospeed(&tio), speed_t(B19200));
    QVERIFY(tio.c_cflag & CSTOPB);
    QVERIFY(!(tio.c_cflag & CRTSCTS));
    QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));
    QCOMPARE(port->parity(), QSerialPort::EvenParity);
    QCOMPARE(port->dataBits(), QSerialPort::Data7);
    QCOMPARE(port->flowControl(), QSerialPort::NoFlowControl);

    // Written while open: applied at once. A bad text changes nothing.
    control.setSettings(QStringLiteral("9600,n,8,1"));
    control.setSettings(QStringLiteral("300,n,8"));
    QCOMPARE(::tcgetattr(pty.slave, &tio), 0);
    QCOMPARE(::cfgetispeed(&tio), speed_t(B9600));
    QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
    QVERIFY(!(tio.c_cflag & CSTOPB));
    QCOMPARE(port->parity(), QSerialPort::NoParity);
    QCOMPARE(port->dataBits(), QSerialPort::Data8);
    QVERIFY(control.portOpen());
}

void TestSerialPty::burstArrivesOneByteAtATime_data()
{
    QTest::addColumn<QByteArray>("burst");
    QTest::addColumn<bool>("network");
    QTest::newRow("one data frame") << dataFrame(1, {1, 2, 3, 4, 5}) << false;
    QTest::newRow("every byte value") << everyByte() << false;
    QTest::newRow("100 frames") << dataFrame(1, {1, 2, 3, 4, 5}).repeated(100) << false;
    QTest::newRow("one data frame, device server") << dataFrame(1, {1, 2, 3, 4, 5}) << true;
    QTest::newRow("every byte value, device server") << everyByte() << true;
    QTest::newRow("100 frames, device server") << dataFrame(1, {1, 2, 3, 4, 5}).repeated(100) << true;
}

void TestSerialPty::burstArrivesOneByteAtATime()
{
    QFETCH(QByteArray, burst);
    QFETCH(bool, network);
    if (network) {
        NetworkLine l(1);
        QVERIFY(l.ok());
        QCOMPARE(l.peer->write(burst), burst.size());
        QTRY_COMPARE_WITH_TIMEOUT(l.rec.received.size(), burst.size(), 10000);
        QTest::qWait(100); // nothing more may follow
        QCOMPARE(l.rec.events, QList<std::int16_t>(burst.size(), CommControl::EventReceive));
        for (const QByteArray &in : std::as_const(l.rec.inputs))
            QCOMPARE(in.size(), 1);
        QCOMPARE(l.rec.received, burst);
        QVERIFY(l.rec.inputEmptiedAfterRead);
        QVERIFY(l.control.portOpen());
        return;
    }
    OpenLine l(1);
    QVERIFY(l.pty.ok());
    QVERIFY(l.control.portOpen());

    QVERIFY(l.pty.write(burst));
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received.size(), burst.size(), 10000);
    QTest::qWait(100); // nothing more may follow

    QCOMPARE(l.rec.events.size(), burst.size());
    QCOMPARE(l.rec.events, QList<std::int16_t>(burst.size(), CommControl::EventReceive));
    for (const QByteArray &in : std::as_const(l.rec.inputs))
        QCOMPARE(in.size(), 1);
    QCOMPARE(l.rec.received, burst);
    QVERIFY(l.rec.inputEmptiedAfterRead);
    QVERIFY(l.control.Input().isEmpty());
    QVERIFY(l.control.portOpen());
    // Faster than the line (a pseudo-terminal takes it at once): read whole, never held.
    QCOMPARE(l.control.readHolds(), 0);
}

void TestSerialPty::bytesArrivingDuringReadHold_data()
{
    QTest::addColumn<int>("holdMs");
    // Long enough that the second byte always comes "soon after" the first and the
    // rest arrives while the port is left unread, however loaded the machine is.
    QTest::newRow("held") << 2000;
    QTest::newRow("no hold") << 0;
}

void TestSerialPty::bytesArrivingDuringReadHold()
{
    QFETCH(int, holdMs);
    OpenLine l(1);
    QVERIFY(l.pty.ok());
    QVERIFY(l.control.portOpen());
    l.control.setReadHoldMs(holdMs);

    // The first byte after a quiet line holds nothing; the one right after it does.
    QVERIFY(l.pty.write("a"));
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received, QByteArray("a"), 10000);
    QVERIFY(!l.control.isReadHeld());
    QVERIFY(l.pty.write("b"));
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received, QByteArray("ab"), 10000);
    QCOMPARE(l.control.isReadHeld(), holdMs > 0);

    const QByteArray rest = everyByte() + dataFrame(1, {1, 2, 3, 4, 5});
    QVERIFY(l.pty.write(rest));
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received.size(), 2 + rest.size(), 20000);
    QCOMPARE(l.rec.received, "ab" + rest);
    QCOMPARE(l.rec.events, QList<std::int16_t>(2 + rest.size(), CommControl::EventReceive));
    for (const QByteArray &in : std::as_const(l.rec.inputs))
        QCOMPARE(in.size(), 1);

    // The last hold ends on a quiet line and nothing is armed after it.
    QTRY_VERIFY_WITH_TIMEOUT(!l.control.isReadHeld(), 10000);
    QTest::qWait(100);
    QVERIFY(!l.control.isReadHeld());
    QCOMPARE(l.rec.received.size(), 2 + rest.size());

    // The line is still read after the hold: a byte after the quiet comes at once.
    QVERIFY(l.pty.write("z"));
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received.size(), 3 + rest.size(), 10000);
    QCOMPARE(l.rec.received.back(), 'z');
    QVERIFY(l.control.portOpen());
}

void TestSerialPty::outputIsSentUnchanged()
{
    OpenLine l(4);
    QVERIFY(l.pty.ok());
    QVERIFY(l.control.portOpen());

    QVERIFY(l.control.Output(rddAll));
    QTRY_COMPARE_WITH_TIMEOUT(l.pty.line(), rddAll, 10000);
    // Every byte value passes untouched (no CR/LF or other translation).
    QVERIFY(l.control.Output(everyByte()));
    QTRY_COMPARE_WITH_TIMEOUT(l.pty.line(), rddAll + everyByte(), 10000);

    // The line is quiet and nothing was echoed back to the control.
    QTest::qWait(100);
    QCOMPARE(l.pty.line(), rddAll + everyByte());
    QVERIFY(l.rec.events.isEmpty());

    l.control.setPortOpen(false);
    QVERIFY(!l.control.portOpen());
    QVERIFY(!l.control.Output(rddAll));
    QTest::qWait(50);
    QCOMPARE(l.pty.line(), rddAll + everyByte());
}

void TestSerialPty::missingDeviceStaysClosed()
{
    mapPort(2, "/nonexistent/x");

    SerialCommControl control;
    Recorder rec;
    rec.attach(control);
    control.setCommPort(2);
    control.setSettings(QStringLiteral("9600,n,8,1"));
    control.setPortOpen(true);
    QVERIFY(!control.portOpen());
    // Kept for the operator: which device, and why.
    QCOMPARE(control.lastFailure().kind, PortFailure::Kind::NoSuchDevice);
    QCOMPARE(control.lastFailure().device, QStringLiteral("/nonexistent/x"));
    QVERIFY(!control.lastFailure().reason.isEmpty());
    control.setRTSEnable(true); // allowed while closed
    QVERIFY(control.rtsEnable());
    QVERIFY(!control.Output(QByteArray("\x02RDD ALL\x03\r")));

    // Port 0 names no device at all.
    control.setCommPort(0);
    control.setPortOpen(true);
    QVERIFY(!control.portOpen());

    QTest::qWait(50);
    QVERIFY(rec.events.isEmpty()); // a failed open is not reported

    // Closing a port that never opened is harmless.
    control.setPortOpen(false);
    QVERIFY(!control.portOpen());
}

// The Windows control's reasons, from Win32 error numbers: the same kinds, and so the
// same words and exit statuses, as the Linux control gives.
void TestSerialPty::windowsErrorsClassified_data()
{
    QTest::addColumn<quint32>("error");
    QTest::addColumn<int>("kind");
    using K = PortFailure::Kind;
    QTest::newRow("no error") << 0u << int(K::None);
    QTest::newRow("file not found") << 2u << int(K::NoSuchDevice);
    QTest::newRow("path not found") << 3u << int(K::NoSuchDevice);
    QTest::newRow("invalid name") << 123u << int(K::NoSuchDevice);
    QTest::newRow("access denied: held") << 5u << int(K::Busy);
    QTest::newRow("sharing violation") << 32u << int(K::Busy);
    QTest::newRow("broken pipe") << 109u << int(K::Lost);
    QTest::newRow("bad command") << 22u << int(K::Lost);
    QTest::newRow("device removed") << 1617u << int(K::Lost);
    QTest::newRow("device not connected") << 1167u << int(K::Lost);
    QTest::newRow("general failure") << 31u << int(K::Lost);
    // What an unplugged USB adapter fails a pending read with.
    QTest::newRow("invalid handle") << 6u << int(K::Lost);
    QTest::newRow("device gone") << 55u << int(K::Lost);
    QTest::newRow("operation aborted") << 995u << int(K::Lost);
    QTest::newRow("not supported") << 50u << int(K::Other);
}

void TestSerialPty::windowsErrorsClassified()
{
    QFETCH(quint32, error);
    QFETCH(int, kind);
    const PortFailure f = classifyWin32PortFailure(QStringLiteral("COM3"), error, QStringLiteral("why"));
    QCOMPARE(int(f.kind), kind);
    QCOMPARE(f.device, QStringLiteral("COM3"));
    QCOMPARE(f.reason, QStringLiteral("why"));
    QCOMPARE(f.error, int(error));
}

void TestSerialPty::portInUseStaysClosed()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    mapPort(1, pty.slavePath);

    SerialCommControl first;
    SerialCommControl second;
    Recorder firstRec;
    Recorder secondRec;
    firstRec.attach(first);
    secondRec.attach(second);

    first.setCommPort(1);
    first.setPortOpen(true);
    QVERIFY(first.portOpen());

    second.setCommPort(1);
    second.setPortOpen(true);
    QVERIFY(!second.portOpen());
    QVERIFY(!second.Output("x"));
    // Held, by this very process, through Qt's lock file.
    QCOMPARE(second.lastFailure().kind, PortFailure::Kind::Busy);
    QCOMPARE(second.lastFailure().holderPid, QCoreApplication::applicationPid());
    QCOMPARE(second.lastFailure().holderName, QCoreApplication::applicationName());
    QCOMPARE(first.lastFailure().kind, PortFailure::Kind::None);

    // The first one still owns the line.
    QVERIFY(pty.write("ab"));
    QTRY_COMPARE_WITH_TIMEOUT(firstRec.received, QByteArray("ab"), 10000);
    QVERIFY(secondRec.events.isEmpty());

    // Released by the first, the device opens for the second.
    first.setPortOpen(false);
    second.setPortOpen(true);
    QVERIFY(second.portOpen());
    QCOMPARE(second.lastFailure().kind, PortFailure::Kind::None);
    QVERIFY(pty.write("c"));
    QTRY_COMPARE_WITH_TIMEOUT(secondRec.received, QByteArray("c"), 10000);
    QCOMPARE(firstRec.received, QByteArray("ab"));
}

// A device this user may not open, as a USB adapter of group dialout is to someone
// outside that group. The tests run as root, whom no file mode stops, so the open is
// tried by a child that has given up root first.
void TestSerialPty::permissionDeniedNamesTheGroup()
{
#ifdef Q_OS_UNIX
    PtyPair pty;
    QVERIFY(pty.ok());
    const group *dialout = ::getgrnam("dialout");
    if (!dialout || ::getuid() != 0)
        QSKIP("needs root and a dialout group");
    QCOMPARE(::chown(pty.slavePath.constData(), 0, dialout->gr_gid), 0);
    QCOMPARE(::chmod(pty.slavePath.constData(), 0660), 0);
    mapPort(1, pty.slavePath);
    if (const QString why = nobodyCannotTry({pty.slavePath}); !why.isEmpty())
        QSKIP(qPrintable(why));

    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(fds[0]);
        if (!becomeNobody())
            ::_exit(2);
        SerialCommControl control;
        control.setCommPort(1);
        control.setPortOpen(true);
        const PortFailure f = control.lastFailure();
        const QByteArray report = QByteArray::number(int(f.kind)) + ' ' + f.group.toUtf8() + ' '
            + QByteArray::number(f.groupMayUse) + QByteArray::number(f.inGroup)
            + QByteArray::number(control.portOpen());
        const bool written = ::write(fds[1], report.constData(), size_t(report.size())) == report.size();
        ::_exit(written ? 0 : 3);
    }
    ::close(fds[1]);
    QByteArray report;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        report.append(buf, n);
    ::close(fds[0]);
    int status = -1;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    // Denied, the group named, the group may use it, this user is not in it, port closed.
    QCOMPARE(report, QByteArray::number(int(PortFailure::Kind::PermissionDenied)) + " dialout 100");
#else
    QSKIP("POSIX file modes only");
#endif
}

void TestSerialPty::rtsOnPtyRaisesNoEvent()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    mapPort(1, pty.slavePath);

    SerialCommControl control;
    Recorder rec;
    rec.attach(control);
    control.setCommPort(1);
    control.setRTSEnable(true); // remembered while closed, applied at open
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
    control.setRTSEnable(false);
    control.setRTSEnable(true);
    QVERIFY(control.rtsEnable());
    QTest::qWait(100);
    QVERIFY(rec.events.isEmpty());
    QVERIFY(control.portOpen());

    // The line still works both ways after the refused RTS writes.
    QVERIFY(control.Output("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(pty.line(), QByteArray("ok"), 10000);
    QVERIFY(pty.write("yes"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.received, QByteArray("yes"), 10000);
    QCOMPARE(rec.errorCount(), 0);
}

void TestSerialPty::handlerClosesOrReopensMidBurst()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    mapPort(1, pty.slavePath);

    SerialCommControl control;
    QByteArray received;
    QList<bool> openSeen;
    bool reopen = false;
    connect(&control, &CommControl::OnComm, &control, [&] {
        if (control.CommEvent() != CommControl::EventReceive)
            return;
        received += control.Input();
        openSeen << control.portOpen();
        if (received.size() == 10) {
            control.setPortOpen(false);
            if (reopen)
                control.setPortOpen(true);
        }
    });
    control.setCommPort(1);
    control.setPortOpen(true);
    QVERIFY(control.portOpen());

    // Closed by the handler at the 10th byte: the bytes already read still come,
    // in order, and the port stays closed.
    const QByteArray frame = dataFrame(1, {1, 2, 3, 4, 5});
    QVERIFY(pty.write(frame));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), frame.size(), 10000);
    QTest::qWait(50);
    QCOMPARE(received, frame);
    QVERIFY(!control.portOpen());
    QCOMPARE(openSeen.count(true), 10); // seen before the handler's close
    QCOMPARE(openSeen.count(false), frame.size() - 10);

    // Closed and reopened by the handler: the rest of the burst and the next
    // burst follow in order on the reopened port.
    received.clear();
    openSeen.clear();
    reopen = true;
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
    QVERIFY(pty.write(frame));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), frame.size(), 10000);
    QVERIFY(control.portOpen());
    QVERIFY(pty.write("\x06\r"));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), frame.size() + 2, 10000);
    QCOMPARE(received, frame + "\x06\r");
    QCOMPARE(openSeen.count(false), 0);
}

void TestSerialPty::handlerDeletesControlMidBurst()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    mapPort(1, pty.slavePath);

    QPointer<SerialCommControl> control = new SerialCommControl;
    int notified = 0;
    connect(control, &CommControl::OnComm, control, [&] {
        if (++notified == 5)
            delete control.data();
    });
    control->setCommPort(1);
    control->setPortOpen(true);
    QVERIFY(control->portOpen());
    QVERIFY(pty.write(dataFrame(1, {1, 2, 3, 4, 5})));
    QTRY_VERIFY_WITH_TIMEOUT(control.isNull(), 10000);
    QTest::qWait(50);
    QCOMPARE(notified, 5);
}

void TestSerialPty::farEndGoneClosesPortOnce()
{
    OpenLine l(3);
    QVERIFY(l.pty.ok());
    QVERIFY(l.control.portOpen());

    // Count what QSerialPort itself raises, to see that nothing keeps firing.
    auto *port = l.control.findChild<QSerialPort *>();
    QVERIFY(port);
    int portErrors = 0;
    connect(port, &QSerialPort::errorOccurred, port, [&](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::NoError)
            ++portErrors;
    });

    QVERIFY(l.pty.write("12"));
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received, QByteArray("12"), 10000);

    l.pty.unplug(); // the test's own slave handle too: nobody is left on the line

    QTRY_VERIFY_WITH_TIMEOUT(l.rec.errorCount() > 0, 10000);
    QVERIFY(!l.control.portOpen());
    QVERIFY(!port->isOpen());
    QVERIFY(!l.control.Output("x"));

    // Over a stretch of event loop nothing more is raised: no second report and
    // no error storm from QSerialPort.
    const int portErrorsAtClose = portErrors;
    QTest::qWait(300);
    QCOMPARE(portErrors, portErrorsAtClose);
    QCOMPARE(l.rec.errorCount(), 1);
    QCOMPARE(l.rec.events.size(), 3); // two bytes and the one failure
    QCOMPARE(l.control.lastFailure().kind, PortFailure::Kind::Lost);
    QCOMPARE(l.control.lastFailure().device, QString::fromLocal8Bit(l.pty.slavePath));
    const int code = l.rec.events.last();
    QVERIFY2(code == CommControl::EventErrorBase + QSerialPort::ReadError
                 || code == CommControl::EventErrorBase + QSerialPort::ResourceError,
             qPrintable(QString::number(code)));

    // The control recovers once a line is there again.
    PtyPair again;
    QVERIFY(again.ok());
    mapPort(3, again.slavePath);
    l.control.setPortOpen(true);
    QVERIFY(l.control.portOpen());
    QCOMPARE(l.control.lastFailure().kind, PortFailure::Kind::None);
    QVERIFY(again.write("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received, QByteArray("12ok"), 10000);
    QCOMPARE(l.rec.errorCount(), 1);
}

void TestSerialPty::networkAddresses_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("IPv4") << "tcp://192.168.1.50:4001" << true << "192.168.1.50" << 4001;
    QTest::newRow("name, upper-case scheme") << "TCP://ds-lab3:2001" << true << "ds-lab3" << 2001;
    QTest::newRow("IPv6 literal") << "tcp://[::1]:4001" << true << "::1" << 4001;
    QTest::newRow("trailing slash") << "tcp://10.0.0.7:65535/" << true << "10.0.0.7" << 65535;
    for (const char *bad : {"tcp://", "tcp://host", "tcp://host:", "tcp://host:0", "tcp://host:65536",
                            "tcp://host:40x1", "tcp://::1:4001", "tcp://host:4001/path",
                            "tcp://user@host:4001", "tcp://host:4001?x=1", "tcp://:4001"})
        QTest::newRow(bad) << QString::fromLatin1(bad) << false << QString() << 0;
}

void TestSerialPty::networkAddresses()
{
    QFETCH(QString, device);
    QFETCH(bool, valid);
    QVERIFY(isNetworkDevice(device));
    const std::optional<NetworkAddress> a = parseNetworkAddress(device);
    QCOMPARE(a.has_value(), valid);
    if (valid) {
        QFETCH(QString, host);
        QFETCH(int, port);
        QCOMPARE(a->host, host);
        QCOMPARE(int(a->port), port);
    }
    QVERIFY(!isNetworkDevice(QStringLiteral("/dev/ttyUSB0")));
    QVERIFY(!parseNetworkAddress(QStringLiteral("/dev/ttyUSB0")));
}

// Every form a port name takes, read into an address and shown again: given directly
// (n = 0) or as the value of QZ7310_COMn (n > 0, an empty value: the default device).
void TestSerialPty::portAddresses_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("given");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("device");   // as opened and shown
    QTest::addColumn<QString>("server");   // a well-formed network address, as messages put it
    QTest::addColumn<QString>("variable");
    QTest::addColumn<int>("com");          // the Windows COM number the name is, 0: none
    // Read by Windows' rules: the name CreateFile opens, "-" for a network line. Empty:
    // read by this system's rules.
    QTest::addColumn<QString>("win32");

    const int serial = int(PortAddress::Kind::Serial);
    const int network = int(PortAddress::Kind::Network);
    QTest::newRow("nothing") << 0 << "" << int(PortAddress::Kind::None) << "" << "" << "" << 0 << "";
    QTest::newRow("path") << 0 << "/dev/ttyUSB0" << serial << "/dev/ttyUSB0" << "" << "" << 0 << "";
    QTest::newRow("relative paths") << 0 << "./ttyV0" << serial << "./ttyV0" << "" << "" << 0 << "";
    QTest::newRow("parent folder") << 0 << "../ttyV0" << serial << "../ttyV0" << "" << "" << 0 << "";
    QTest::newRow("name without /dev/") << 0 << "ttyACM0" << serial << "/dev/ttyACM0" << "" << "" << 0 << "";
    QTest::newRow("by-id name without /dev/")
        << 0 << "serial/by-id/usb-FTDI_A1-if00" << serial << "/dev/serial/by-id/usb-FTDI_A1-if00" << "" << "" << 0 << "";
    QTest::newRow("IPv4") << 0 << "tcp://192.168.1.50:4001" << network << "tcp://192.168.1.50:4001"
                          << "192.168.1.50 port 4001" << "" << 0 << "";
    QTest::newRow("IPv6 in brackets") << 0 << "tcp://[fd00::50]:4001" << network << "tcp://[fd00::50]:4001"
                                      << "fd00::50 port 4001" << "" << 0 << "";
    QTest::newRow("upper-case scheme, kept as given") << 0 << "TCP://ds-lab3:2001" << network
                                                      << "TCP://ds-lab3:2001" << "ds-lab3 port 2001" << "" << 0 << "";
    for (const char *bad : {"tcp://host", "tcp://::1:4001", "tcp://host:0", "tcp://host:4001/x", "tcp:///dev/ttyS0"})
        QTest::newRow(bad) << 0 << QString::fromLatin1(bad) << network << QString::fromLatin1(bad) << "" << "" << 0 << "";
    QTest::newRow("not tcp: a device") << 0 << "tcpx://host:1" << serial << "/dev/tcpx://host:1" << "" << "" << 0 << "";
    QTest::newRow("COM name") << 0 << "COM7" << serial << "/dev/COM7" << "" << "" << 7 << "";
    QTest::newRow("COM name, lower case") << 0 << "com12" << serial << "/dev/com12" << "" << "" << 12 << "";
    for (const char *notCom : {"COM0", "COM01", "COM", "COMX", "COM1 "})
        QTest::newRow(notCom) << 0 << QString::fromLatin1(notCom) << serial << "/dev/" + QString::fromLatin1(notCom)
                              << "" << "" << 0 << "";
    QTest::newRow("COM name in a path") << 0 << "/dev/COM1" << serial << "/dev/COM1" << "" << "" << 0 << "";
    QTest::newRow("COM4 by default") << 4 << "" << serial << "/dev/ttyS3" << "" << "" << 0 << "";
    QTest::newRow("COM3 mapped to a path") << 3 << "/dev/ttyUSB1" << serial << "/dev/ttyUSB1" << ""
                                           << "QZ7310_COM3" << 0 << "";
    QTest::newRow("COM3 mapped to a name") << 3 << "ttyUSB1" << serial << "/dev/ttyUSB1" << "" << "QZ7310_COM3" << 0 << "";
    QTest::newRow("COM2 mapped to a device server") << 2 << "tcp://[::1]:4001" << network << "tcp://[::1]:4001"
                                                    << "::1 port 4001" << "QZ7310_COM2" << 0 << "";
    QTest::newRow("COM1 mapped to a bad address") << 1 << "tcp://[::1]" << network << "tcp://[::1]" << ""
                                                  << "QZ7310_COM1" << 0 << "";

    QTest::newRow("Windows: COM name") << 0 << "COM12" << serial << "COM12" << "" << "" << 12 << "\\\\.\\COM12";
    QTest::newRow("Windows: COM name with its prefix") << 0 << "\\\\.\\COM7" << serial << "\\\\.\\COM7" << "" << ""
                                                       << 0 << "\\\\.\\COM7";
    QTest::newRow("Windows: a name that is no COM port") << 0 << "CNCA0" << serial << "CNCA0" << "" << "" << 0
                                                         << "\\\\.\\CNCA0";
    QTest::newRow("Windows: device server") << 0 << "tcp://192.168.1.50:4001" << network << "tcp://192.168.1.50:4001"
                                            << "192.168.1.50 port 4001" << "" << 0 << "-";
    QTest::newRow("Windows: COM4 by default") << 4 << "" << serial << "COM4" << "" << "" << 0 << "\\\\.\\COM4";
    QTest::newRow("Windows: COM1 mapped to COM7") << 1 << "COM7" << serial << "COM7" << "" << "QZ7310_COM1" << 7
                                                  << "\\\\.\\COM7";
    QTest::newRow("Windows: COM1 mapped to COM7 with its prefix") << 1 << "\\\\.\\COM7" << serial << "\\\\.\\COM7"
                                                                  << "" << "QZ7310_COM1" << 0 << "\\\\.\\COM7";
    QTest::newRow("Windows: COM2 mapped to a device server") << 2 << "tcp://[::1]:4001" << network << "tcp://[::1]:4001"
                                                             << "::1 port 4001" << "QZ7310_COM2" << 0 << "-";
}

void TestSerialPty::portAddresses()
{
    QFETCH(int, n);
    QFETCH(QString, given);
    QFETCH(int, kind);
    QFETCH(QString, device);
    QFETCH(QString, server);
    QFETCH(QString, variable);
    QFETCH(int, com);
    QFETCH(QString, win32);

    const bool windows = !win32.isEmpty();
    const PortAddress::Rules rules = windows ? PortAddress::Rules::Windows : PortAddress::NativeRules;
    if (n > 0 && !windows)
        mapPort(n, given.toLocal8Bit());
    const PortAddress a = n > 0 ? (windows ? PortAddress::forPort(n, given, rules) : PortAddress::forPort(n))
                                : PortAddress::fromName(given, rules);
    QCOMPARE(int(a.kind()), kind);
    QCOMPARE(a.isNetwork(), kind == int(PortAddress::Kind::Network));
    QCOMPARE(a.device(), device);
    QCOMPARE(a.network() ? a.network()->text() : QString(), server);
    QCOMPARE(a.variable(), variable);
    QCOMPARE(comPortNumber(given), com);
    if (windows) {
        if (!a.isNetwork()) {
            QCOMPARE(a.win32Path(), win32);
            QCOMPARE(a.win32Name(), win32.mid(4));
        }
        return;
    }
    // Whoever holds a port number and a device name reaches the same address.
    const PortAddress held = n > 0 ? PortAddress::of(n, {}) : PortAddress::of(1, given);
    QCOMPARE(held.device(), given.isEmpty() && n == 0 ? portDeviceName(1) : device);
    QCOMPARE(n > 0 ? portDeviceName(n) : serialDevicePath(given), device);
}

void TestSerialPty::networkOutputUnchangedRtsIgnored()
{
    NetworkLine l(2);
    QVERIFY(l.ok());
    QVERIFY(l.control.Output(rddAll));
    QTRY_COMPARE_WITH_TIMEOUT(l.line(), rddAll, 10000);
    // RTS and line settings have no meaning here: accepted, nothing on the wire, no event.
    l.control.setRTSEnable(false);
    l.control.setSettings(QStringLiteral("300,e,7,2"));
    QVERIFY(l.control.Output(everyByte()));
    QTRY_COMPARE_WITH_TIMEOUT(l.line(), rddAll + everyByte(), 10000);
    QTest::qWait(100);
    QCOMPARE(l.line(), rddAll + everyByte());
    QVERIFY(l.rec.events.isEmpty());
    QVERIFY(l.control.portOpen());

    // Closed by the program: the server sees the end, and nothing more is sent.
    l.control.setPortOpen(false);
    QVERIFY(!l.control.portOpen());
    QVERIFY(!l.control.Output(rddAll));
    QTRY_COMPARE_WITH_TIMEOUT(l.peer->state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(l.line(), rddAll + everyByte());
    QVERIFY(l.rec.events.isEmpty());
}

// Opens that fail, each with its own reason and the address in both front ends' words.
void TestSerialPty::networkOpenFailures_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("japanese");

    QTest::newRow("nothing listening") << "refused" << int(PortFailure::Kind::Refused)
                                       << "接続を拒否されました";
    QTest::newRow("host not found") << "unknown host" << int(PortFailure::Kind::HostNotFound)
                                    << "ホストが見つかりません";
    QTest::newRow("no answer") << "silent" << int(PortFailure::Kind::NoAnswer) << "0.3 秒以内に応答がありません";
    QTest::newRow("not an address") << "bad" << int(PortFailure::Kind::BadAddress)
                                    << "ネットワークのアドレスとして読めません";
}

void TestSerialPty::networkOpenFailures()
{
    QFETCH(QString, what);
    QFETCH(int, kind);
    QFETCH(QString, japanese);

    // A port nothing listens on: bound and closed again.
    int port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    // A server that never answers: a listening socket whose queue is full, so the
    // kernel drops further connection requests.
    const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(full >= 0 && queued >= 0);
    auto closeBoth = qScopeGuard([&] { ::close(full); ::close(queued); });
    if (what == QLatin1String("silent")) {
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        QCOMPARE(::bind(full, reinterpret_cast<sockaddr *>(&a), len), 0);
        QCOMPARE(::listen(full, 0), 0);
        QCOMPARE(::getsockname(full, reinterpret_cast<sockaddr *>(&a), &len), 0);
        QCOMPARE(::connect(queued, reinterpret_cast<sockaddr *>(&a), len), 0);
        port = ntohs(a.sin_port);
    }
    QString device = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
    if (what == QLatin1String("unknown host"))
        device = QStringLiteral("tcp://no-such-host.invalid:4001"); // .invalid never resolves
    else if (what == QLatin1String("bad"))
        device = QStringLiteral("tcp://127.0.0.1");
    mapPort(3, device.toLocal8Bit());

    LineCommControl control;
    control.network().setConnectTimeout(300);
    Recorder rec;
    rec.attach(control);
    control.setCommPort(3);
    control.setPortOpen(true);
    QVERIFY(!control.portOpen());
    QVERIFY(control.onNetwork());
    QVERIFY(!control.Output(rddAll));
    const PortFailure f = control.lastFailure();
    QCOMPARE(int(f.kind), kind);
    QCOMPARE(f.device, device);
    QVERIFY(!f.reason.isEmpty());
    const QString line = portFailureLine(3, f);
    QVERIFY2(line.startsWith(QStringLiteral("COM3 (%1): %2").arg(device, japanese)), qPrintable(line));
    if (what != QLatin1String("bad") && what != QLatin1String("unknown host"))
        QVERIFY2(line.contains(QStringLiteral("ホスト 127.0.0.1 のポート %1").arg(port)), qPrintable(line));
    QTest::qWait(50);
    QVERIFY(rec.events.isEmpty()); // a failed open is not reported as an event
}

void TestSerialPty::serverGoneClosesLineOnce_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QByteArray>("sent"); // before the end
    QTest::newRow("server closes the connection") << false << QByteArray("12");
    QTest::newRow("server resets the connection") << true << QByteArray("12");
    // A backlog of three queues' worth, then the close: all of it before the loss.
    QByteArray backlog(3 * QueuedCommControl::PendingLimit, Qt::Uninitialized);
    for (qsizetype k = 0; k < backlog.size(); ++k)
        backlog[k] = char('a' + k * 7 % 23);
    QTest::newRow("server dumps a backlog and hangs up") << false << backlog;
}

void TestSerialPty::serverGoneClosesLineOnce()
{
    QFETCH(bool, reset);
    QFETCH(QByteArray, sent);
    NetworkLine l(4);
    QVERIFY(l.ok());
    const QString device = l.control.device();

    QCOMPARE(l.peer->write(sent), sent.size());
    if (reset) {
        QVERIFY(l.peer->waitForBytesWritten(10000));
        // No lingering: the kernel answers the close with a reset.
        const linger now {1, 0};
        QCOMPARE(::setsockopt(int(l.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now), 0);
        l.peer->abort();
    } else {
        // Closed once everything is written, from the event loop: the control reads meanwhile.
        l.peer->disconnectFromHost();
    }

    QTRY_VERIFY_WITH_TIMEOUT(l.rec.errorCount() > 0, 20000);
    QVERIFY(!l.control.portOpen());
    QVERIFY(!l.control.Output("x"));
    QTest::qWait(300);
    // The bytes that came first, then the loss, reported once with an unplugged line's
    // code, the port already closed when it is (the collector takes a loss only so).
    QCOMPARE(l.rec.received.size(), sent.size());
    QVERIFY(l.rec.received == sent);
    QCOMPARE(l.rec.events.size(), sent.size() + 1);
    QCOMPARE(l.rec.openAtError, QList<bool>{false});
    QCOMPARE(l.rec.events.last(), std::int16_t(CommControl::EventErrorBase + QSerialPort::ResourceError));
    QCOMPARE(l.control.lastFailure().kind, PortFailure::Kind::Lost);
    QCOMPARE(l.control.lastFailure().device, device);
    QVERIFY(portFailureLine(4, l.control.lastFailure()).contains(QStringLiteral("デバイスサーバーとの接続が切れました")));

    // Opened again once the server takes connections.
    l.control.setPortOpen(true);
    QVERIFY(l.control.portOpen());
    QCOMPARE(l.control.lastFailure().kind, PortFailure::Kind::None);
    QVERIFY(l.server.waitForNewConnection(10000));
    QTcpSocket *again = l.server.nextPendingConnection();
    QCOMPARE(again->write("ok"), 2);
    QTRY_COMPARE_WITH_TIMEOUT(l.rec.received.size(), sent.size() + 2, 10000);
    QVERIFY(l.rec.received.endsWith("ok"));
    QCOMPARE(l.rec.errorCount(), 1);
}

// The programs' control opens whichever line the name gives, at each open.
void TestSerialPty::lineFollowsTheDeviceName()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));

    LineCommControl control;
    Recorder rec;
    rec.attach(control);
    control.setDevice(QString::fromLocal8Bit(pty.slavePath));
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
    QVERIFY(!control.onNetwork());
    QVERIFY(pty.write("a"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.received, QByteArray("a"), 10000);

    // A new name takes effect at the next open, as a new CommPort does.
    control.setDevice(QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()));
    control.setPortOpen(true);
    QVERIFY(!control.onNetwork());
    control.setPortOpen(false);
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
    QVERIFY(control.onNetwork());
    QVERIFY(!control.serial().portOpen()); // the serial line was let go
    QVERIFY(server.waitForNewConnection(10000));
    QTcpSocket *peer = server.nextPendingConnection();
    QCOMPARE(peer->write("b"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(rec.received, QByteArray("ab"), 10000);
    QVERIFY(control.Output("c"));
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), qint64(1), 10000);
    QVERIFY(pty.line().isEmpty());

    control.setDevice(QString::fromLocal8Bit(pty.slavePath));
    control.setPortOpen(false);
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
    QVERIFY(!control.onNetwork());
    QVERIFY(pty.write("d"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.received, QByteArray("abd"), 10000);
    QCOMPARE(rec.errorCount(), 0);
}

QTEST_GUILESS_MAIN(TestSerialPty)
#include "test_serial_pty.moc"
