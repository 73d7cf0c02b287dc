// The Win32 serial control on a real line: run under Wine by scripts/windows --check with
// QZ_TEST_PORT naming a COM port whose far end is tests/win32_line_peer.py on a Linux
// pseudo-terminal (it echoes every byte and goes away after "BYE" CR).

#include "line/serial_comm_control.h"

#include <QtTest>

#include <windows.h>

namespace {

bool underWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

struct Recorder
{
    QList<std::int16_t> events;
    QByteArray received;
    bool oneByteEach = true;

    void attach(CommControl &c)
    {
        QObject::connect(&c, &CommControl::OnComm, &c, [this, &c] {
            events << c.CommEvent();
            if (c.CommEvent() == CommControl::EventReceive) {
                const QByteArray in = c.Input();
                oneByteEach = oneByteEach && in.size() == 1 && c.Input().isEmpty();
                received += in;
            }
        });
    }
    int errorCount() const
    {
        return int(std::count_if(events.cbegin(), events.cend(),
                                 [](std::int16_t e) { return e >= CommControl::EventErrorBase; }));
    }
};

} // namespace

class TestWin32Serial : public QObject
{
    Q_OBJECT
    QString m_port;

private slots:
    void initTestCase()
    {
        m_port = qEnvironmentVariable("QZ_TEST_PORT");
        if (m_port.isEmpty())
            QSKIP("QZ_TEST_PORT names no port with the line peer behind it");
    }
    void echoArrivesOneByteAtATime();
    void secondOpenIsHeld();
    void missingPortStaysClosed();
    void farEndGoneClosesPortOnce();
};

// Written bytes reach the line unchanged; what comes back arrives in order, one
// OnComm per byte. RTS, which a pseudo-terminal cannot carry, raises nothing.
void TestWin32Serial::echoArrivesOneByteAtATime()
{
    SerialCommControl control;
    Recorder rec;
    rec.attach(control);
    control.setDevice(m_port);
    control.setSettings(QStringLiteral("9600,n,8,1"));
    control.setPortOpen(true);
    QVERIFY2(control.portOpen(), qPrintable(control.lastFailure().reason));
    control.setRTSEnable(true);

    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    const QByteArray sent = all.repeated(8);
    QVERIFY(control.Output(sent.left(1000)));
    QVERIFY(control.Output(sent.mid(1000)));
    QTRY_COMPARE_WITH_TIMEOUT(rec.received.size(), sent.size(), 20000);
    QCOMPARE(rec.received, sent);
    QVERIFY(rec.oneByteEach);
    QCOMPARE(rec.events.size(), sent.size());
    control.setRTSEnable(false);
    QTest::qWait(200);
    QCOMPARE(rec.errorCount(), 0);
    QVERIFY(control.portOpen());
}

// Windows ports are exclusive: a second open is refused as held by another program.
void TestWin32Serial::secondOpenIsHeld()
{
    // Seen here: Wine 8 lets a second CreateFile with no sharing open the same port.
    if (underWine())
        QSKIP("Wine does not refuse a second open of a serial port; Windows does");
    SerialCommControl first;
    SerialCommControl second;
    first.setDevice(m_port);
    second.setDevice(m_port);
    first.setPortOpen(true);
    QVERIFY(first.portOpen());
    second.setPortOpen(true);
    QVERIFY(!second.portOpen());
    QCOMPARE(second.lastFailure().kind, PortFailure::Kind::Busy);
    QCOMPARE(second.lastFailure().device, m_port);
    first.setPortOpen(false);
    second.setPortOpen(true);
    QVERIFY(second.portOpen());
    QCOMPARE(second.lastFailure().kind, PortFailure::Kind::None);
}

void TestWin32Serial::missingPortStaysClosed()
{
    SerialCommControl control;
    Recorder rec;
    rec.attach(control);
    control.setDevice(QStringLiteral("COM37"));
    control.setPortOpen(true);
    QVERIFY(!control.portOpen());
    QCOMPARE(control.lastFailure().kind, PortFailure::Kind::NoSuchDevice);
    QVERIFY(!control.lastFailure().reason.isEmpty());
    QVERIFY(!control.Output("x"));
    QTest::qWait(100);
    QVERIFY(rec.events.isEmpty());
}

// The far end goes away: what it sent before arrives, then one error event, the port
// reads as closed with the line lost, and nothing more comes.
void TestWin32Serial::farEndGoneClosesPortOnce()
{
    SerialCommControl control;
    Recorder rec;
    rec.attach(control);
    control.setDevice(m_port);
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
    QVERIFY(control.Output("BYE\r"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.errorCount(), 1, 10000);
    QCOMPARE(rec.received, QByteArray("BYE\rlast\r"));
    QCOMPARE(rec.events.last(), SerialCommControl::LineFailedEvent);
    QVERIFY(!control.portOpen());
    QCOMPARE(control.lastFailure().kind, PortFailure::Kind::Lost);
    QVERIFY(!control.Output("x"));
    QTest::qWait(500);
    QCOMPARE(rec.errorCount(), 1);
    control.setPortOpen(false);
}

QTEST_GUILESS_MAIN(TestWin32Serial)
#include "test_win32_serial.moc"
