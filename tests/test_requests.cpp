#include "fake_comm_control.h"
#include "fake_request_view.h"
#include "line/port_control.h"
#include "line/request.h"
#include "table/record_decoder.h"
#include "test_support.h"

#include <QtTest>

Q_DECLARE_METATYPE(PortFailure)

namespace {

PortFailure failureOf(PortFailure::Kind kind, const QString &device, const QString &reason = {})
{
    PortFailure f;
    f.kind = kind;
    f.device = device;
    f.reason = reason;
    return f;
}

QString hex(const QByteArray &bytes) { return QString::fromLatin1(bytes.toHex()); }

} // namespace

class TestRequests : public QObject
{
    Q_OBJECT
private slots:
    void sendCommand_data();
    void sendCommand();
    void requestAbandonsReplyUnderWay();
    void refusedRequestKeepsEverything_data();
    void refusedRequestKeepsEverything();
    void warningNamesTheMenuEntry_data();
    void warningNamesTheMenuEntry();
};

void TestRequests::sendCommand_data()
{
    QTest::addColumn<QByteArray>("word");
    QTest::addColumn<QByteArray>("operand");
    QTest::addColumn<QString>("expected");
    QTest::newRow("RDD ALL") << QByteArray("RDD") << QByteArray("ALL") << hex(rddAll);
    QTest::newRow("RDD NOW") << QByteArray("RDD") << QByteArray("NOW") << hex(rddNow);
    QTest::newRow("CLR ALL") << QByteArray("CLR") << QByteArray("ALL") << hex(clrAll);
}

void TestRequests::sendCommand()
{
    QFETCH(QByteArray, word);
    QFETCH(QByteArray, operand);
    QFETCH(QString, expected);

    Module1 state;
    FakeCommControl port;
    port.isOpen = true;
    // The write must see the old reception state: the reset follows it.
    QString stateAtWrite;
    port.beforeWrite = [&] {
        stateAtWrite = QStringLiteral("FrameCount=%1 PendingLength=%2")
                           .arg(state.FrameCount)
                           .arg(state.PendingLength);
    };
    FakeView view(port.calls);
    fillBusyState(state, view);
    const QStringList headings = view.cells().mid(0, CounterTable::Columns);
    const QStringList row100 = view.cells().mid(CounterTable::LastRecordRow * CounterTable::Columns);

    QVERIFY(SendCommand(state, port, view, word, operand));

    QCOMPARE(port.calls, QStringList({"view:setTransmitText=" + expected,
                                      "view:clearRecordsAndStatus",
                                      "Output=" + expected,
                                      "view:clearReceiveLog"}));
    QCOMPARE(hex(port.written), expected);
    QCOMPARE(port.written.size(), 10);
    QCOMPARE(hex(view.transmit), expected);
    QCOMPARE(stateAtWrite, QStringLiteral("FrameCount=3 PendingLength=6"));

    QCOMPARE(state.FrameCount, std::int16_t(0));
    QCOMPARE(state.PendingLength, std::int16_t(0));
    for (int slot = 0; slot < Module1::FrameStoreSlots; ++slot)
        QVERIFY2(state.FrameStore[slot].isEmpty(), qPrintable(QString::number(slot)));
    QVERIFY(view.status.isEmpty());
    QVERIFY(view.rxLog.isEmpty());
    QCOMPARE(view.warnings, 0);
    const QStringList cells = view.cells();
    QCOMPARE(cells.mid(0, CounterTable::Columns), headings);
    for (int i = CounterTable::Columns; i < CounterTable::LastRecordRow * CounterTable::Columns; ++i)
        QVERIFY2(cells[i].isEmpty(), qPrintable(QString::number(i)));
    QCOMPARE(cells.mid(CounterTable::LastRecordRow * CounterTable::Columns), row100);

    // What the box gives back is what goes on the line.
    view.readBack = QByteArray("\x02RDD XYZ\x03\r");
    port.written.clear();
    QVERIFY(SendCommand(state, port, view, word, operand));
    QCOMPARE(port.written, *view.readBack);

    // A second press sends again and clears again.
    view.readBack.reset();
    view.table.setText(1, 0, QStringLiteral("7"));
    port.written.clear();
    QVERIFY(SendCommand(state, port, view, word, operand));
    QCOMPARE(hex(port.written), expected);
    QVERIFY(view.table.text(1, 0).isEmpty());
}

void TestRequests::requestAbandonsReplyUnderWay()
{
    Module1 state;
    FakeCommControl port;
    port.isOpen = true;
    FakeView view(port.calls);
    view.table.setRow(100, {"100", "1", "1", "1", "1", "1", "5"});

    const QByteArray second = dataFrame(2, {7, 8, 9, 10, 11});
    for (char c : dataFrame(1, {1, 2, 3, 4, 5}) + second.left(16))
        receiveCharacter(state, view.table, view, c);
    QCOMPARE(state.FrameCount, std::int16_t(1));
    QVERIFY(state.PendingLength > 0);

    QVERIFY(SendCommand(state, port, view, "RDD", "NOW"));
    QCOMPARE(state.PendingLength, std::int16_t(0));
    QCOMPARE(state.FrameCount, std::int16_t(0));
    QVERIFY(state.FrameStore[0].isEmpty());

    // The rest of the old reply is dropped; the new one fills slot 0 and row 1.
    const QByteArray rest = second.mid(16);
    const QByteArray fresh = dataFrame(0, {10, 20, 30, 40, 50});
    for (char c : rest + fresh)
        receiveCharacter(state, view.table, view, c);
    QCOMPARE(view.rxLog, rest + fresh);
    QCOMPARE(state.FrameCount, std::int16_t(1));
    QCOMPARE(state.FrameStore[0], fresh);
    QVERIFY(state.FrameStore[1].isEmpty());
    QCOMPARE(view.table.text(1, 0), QStringLiteral("0"));
    QCOMPARE(view.table.text(1, 6), QStringLiteral("150"));
    QVERIFY(view.table.text(2, 0).isEmpty());
    QCOMPARE(view.table.text(100, 0), QStringLiteral("100"));
    QCOMPARE(view.status, QStringLiteral("COMMAND OK !"));
}

void TestRequests::refusedRequestKeepsEverything_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<QStringList>("expectedCalls");
    const QString cmd = hex(rddAll);
    QTest::newRow("port closed") << false << QStringList{"view:warnPortNotOpen"};
    QTest::newRow("write fails") << true
                                 << QStringList{"view:setTransmitText=" + cmd,
                                                "view:clearRecordsAndStatus",
                                                "Output=" + cmd,
                                                "view:restoreRecordsAndStatus",
                                                "view:setTransmitText=" + hex(rddNow),
                                                "view:warnPortNotOpen"};
}

void TestRequests::refusedRequestKeepsEverything()
{
    QFETCH(bool, open);
    QFETCH(QStringList, expectedCalls);

    Module1 state;
    FakeCommControl port;
    port.isOpen = open;
    port.writeSucceeds = false;
    port.failure = failureOf(PortFailure::Kind::NoSuchDevice, "/dev/ttyUSB0");
    FakeView view(port.calls);
    fillBusyState(state, view);
    state.PortNumber = 1;
    const QStringList cells = view.cells();
    const QString status = view.status;
    const QByteArray transmit = view.transmit;
    const QByteArray rxLog = view.rxLog;
    const auto store = state.FrameStore;
    const QByteArray pending = state.PendingFrame;

    QVERIFY(!SendCommand(state, port, view, "RDD", "ALL"));

    QCOMPARE(port.calls, expectedCalls);
    QVERIFY(port.written.isEmpty());
    QCOMPARE(view.warnings, 1);
    // The warning says why the port is closed, as the port knows it.
    QCOMPARE(view.warning, portNotOpenWarningText(port.failure, 1));
    QVERIFY(view.warning.contains(QStringLiteral("COM1 (/dev/ttyUSB0)")));
    QCOMPARE(view.cells(), cells);
    QCOMPARE(view.status, status);
    QCOMPARE(view.transmit, transmit);
    QCOMPARE(view.rxLog, rxLog);
    QVERIFY(state.FrameStore == store);
    QCOMPARE(state.FrameCount, std::int16_t(3));
    QCOMPARE(state.PendingLength, std::int16_t(6));
    QCOMPARE(state.PendingFrame, pending);
}

void TestRequests::warningNamesTheMenuEntry_data()
{
    using K = PortFailure::Kind;
    QTest::addColumn<PortFailure>("failure");
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("reasonLine"); // what its third line holds; none when empty

    QTest::newRow("nothing known") << PortFailure{} << 1 << QStringList();
    QTest::newRow("no such device")
        << failureOf(K::NoSuchDevice, "/dev/ttyUSB0", "No such file or directory") << 2
        << QStringList{"COM2 (/dev/ttyUSB0): ", "デバイスがありません（No such file or directory）",
#ifdef Q_OS_WIN
                       "環境変数 QZ7310_COM2", "QZ7310_COM2=COM7", "デバイス マネージャーでそのポートのプロパティ"};
#else
                       "QZ7310_COM2=/dev/ttyUSB0"};
#endif
    PortFailure denied = failureOf(K::PermissionDenied, "/dev/ttyUSB0", "Permission denied");
    denied.group = QStringLiteral("dialout");
    denied.groupMayUse = true;
    QTest::newRow("permission denied, not in the group")
        << denied << 1
        << QStringList{"COM1 (/dev/ttyUSB0): ", "アクセスが拒否されました（Permission denied）",
                       "グループ dialout に入っていません", "sudo usermod -aG dialout $USER"};
    denied.inGroup = true;
    QTest::newRow("permission denied, in the group")
        << denied << 1 << QStringList{"グループ dialout に入っていますが", "ls -l /dev/ttyUSB0"};
    denied.groupMayUse = false;
    QTest::newRow("permission denied, owner only")
        << denied << 1 << QStringList{"所有者しか開けません", "管理者"};
    QTest::newRow("permission denied, group unknown")
        << failureOf(K::PermissionDenied, "/dev/ttyUSB0") << 1
        << QStringList{"アクセスが拒否されました。", "権限がありません"};
    PortFailure held = failureOf(K::Busy, "/dev/ttyS3", "Permission error while locking the device");
    held.holderPid = 4242;
    held.holderName = QStringLiteral("minicom");
    QTest::newRow("held by another program")
        << held << 4
        << QStringList{"COM4 (/dev/ttyS3): ", "使用中です（PID 4242、minicom）",
#ifdef Q_OS_WIN
                       "そのプログラムを終了してください。"};
#else
                       "fuser -v /dev/ttyS3"};
#endif
    QTest::newRow("held, holder unknown") << failureOf(K::Busy, "/dev/ttyS0", "busy") << 1
                                          << QStringList{"他のプログラムが使用中です。"};
    QTest::newRow("line lost") << failureOf(K::Lost, "/dev/pts/7", "Input/output error") << 3
                               << QStringList{"COM3 (/dev/pts/7): ", "回線が切れました（Input/output error）",
                                              "「ﾎﾟｰﾄ選択(P)」"};
    QTest::newRow("other") << failureOf(K::Other, "/tmp/x", "Inappropriate ioctl for device") << 1
                           << QStringList{"開けませんでした（Inappropriate ioctl for device）"};
    QTest::newRow("device server: nothing listening")
        << failureOf(K::Refused, "tcp://192.168.1.50:4001", "Connection refused") << 1
        << QStringList{"COM1 (tcp://192.168.1.50:4001): ", "接続を拒否されました（Connection refused）",
                       "ホスト 192.168.1.50 のポート 4001 で待ち受けているものがありません", "raw TCP"};
    QTest::newRow("device server: host not found")
        << failureOf(K::HostNotFound, "tcp://lab-ds3:4001", "Host not found") << 2
        << QStringList{"ホストが見つかりません（Host not found）", "QZ7310_COM2=tcp://192.168.1.50:4001"};
    PortFailure silent = failureOf(K::NoAnswer, "tcp://[fd00::7]:4001", "Socket operation timed out");
    silent.waitedMs = 3000;
    QTest::newRow("device server: no answer")
        << silent << 1
        << QStringList{"3 秒以内に応答がありません（Socket operation timed out）", "ホスト fd00::7 のポート 4001 に届きません"};
    QTest::newRow("device server: connection lost")
        << failureOf(K::Lost, "tcp://192.168.1.50:4001", "The remote host closed the connection") << 1
        << QStringList{"デバイスサーバーとの接続が切れました（The remote host closed the connection）", "「ﾎﾟｰﾄ選択(P)」"};
    QTest::newRow("device server: nothing listening, Qt's reason in Japanese")
        << failureOf(K::Refused, "tcp://192.168.1.50:4001", "接続を拒否されました") << 1
        << QStringList{"COM1 (tcp://192.168.1.50:4001): 接続を拒否されました。ホスト 192.168.1.50"};
    QTest::newRow("not a network address") << failureOf(K::BadAddress, "tcp://lab-ds3", "") << 3
                                           << QStringList{"ネットワークのアドレスとして読めません", "tcp://ホスト:ポート"};
}

void TestRequests::warningNamesTheMenuEntry()
{
    QFETCH(PortFailure, failure);
    QFETCH(int, port);
    QFETCH(QStringList, reasonLine);

    const QString text = portNotOpenWarningText(failure, port);
    const QStringList lines = text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), reasonLine.isEmpty() ? 2 : 3);
    // The menu entry as the operator reads it: no access-key "&" anywhere.
    QCOMPARE(lines[0], QStringLiteral("通信ポートが開いていません。"));
    QCOMPARE(lines[1], QStringLiteral("メニューの「ﾎﾟｰﾄ選択(P)」で通信ポートを選択してください。"));
    QVERIFY(!text.contains(QLatin1Char('&')));
    for (const QString &part : reasonLine)
        QVERIFY2(lines[2].contains(part), qPrintable(lines[2] + " / " + part));
}

QTEST_MAIN(TestRequests)
#include "test_requests.moc"
