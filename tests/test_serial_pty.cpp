// SerialCommControl on real pseudo-terminals: the test holds the master side and
// plays the counter; the control opens the slave by the name QZ7310_COMn gives it.

#include "link/serial_comm_control.h"
#include "test_support.h"

#include <QSerialPort>
#include <QtTest>

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
    bool inputEmptiedAfterRead = true;

    void attach(CommControl &c)
    {
        QObject::connect(&c, &CommControl::OnComm, &c, [this, &c] {
            events << c.CommEvent();
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
    QTest::newRow("one data frame") << dataFrame(1, {1, 2, 3, 4, 5});
    QTest::newRow("every byte value") << everyByte();
    QTest::newRow("100 frames") << dataFrame(1, {1, 2, 3, 4, 5}).repeated(100);
}

void TestSerialPty::burstArrivesOneByteAtATime()
{
    QFETCH(QByteArray, burst);
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

    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(fds[0]);
        const gid_t nogroup = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nogroup) != 0 || ::setuid(65534) != 0)
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

QTEST_GUILESS_MAIN(TestSerialPty)
#include "test_serial_pty.moc"
