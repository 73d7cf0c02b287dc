#include "table/record_decoder.h"
#include "test_support.h"

#include <QtTest>

namespace {

// Data frame `no` with the counts base, base + 1, ... base + 4.
QByteArray frame(int no, int base)
{
    return dataFrame(no, {base, base + 1, base + 2, base + 3, base + 4});
}

} // namespace

class TestFraming : public QObject
{
    Q_OBJECT
private slots:
    void verdicts_data();
    void verdicts();
    void threeFramesFillSlotsAndRowsInOrder();
    void leadCharactersInsideOpenFrameAreContent();
    void idleCharactersAreLoggedOnly();
    void resetInTheMiddleOfAFrame();
    void decoderSeesTheNewFramesSlot();
    void tableFullKeepsRowsAndStore();
    void overlongFrameIsAbandoned();
    void lostCrMergesReplies();
};

void TestFraming::verdicts_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("stored");

    QTest::newRow("ACK CR") << QByteArray("\x06\r") << Verdict::AckOk << 0;
    QTest::newRow("ACK with content") << QByteArray("\x06xyz\r") << Verdict::AckOk << 0;
    QTest::newRow("STX NAK CR") << QByteArray("\x02\x15\r") << Verdict::Error << 0;
    QTest::newRow("ACK NAK CR") << QByteArray("\x06\x15\r") << Verdict::Error << 0;
    QTest::newRow("NAK NAK CR") << QByteArray("\x15\x15\r") << Verdict::Error << 0;
    QTest::newRow("STX CR data") << QByteArray("\x02\r") << Verdict::DataOk << 1;
    QTest::newRow("STX ACK CR is data") << QByteArray("\x02\x06\r") << Verdict::DataOk << 1;
    QTest::newRow("NAK CR") << QByteArray("\x15\r") << Verdict::CommandError << 0;
    QTest::newRow("NAK x CR") << QByteArray("\x15x1\r") << Verdict::CommandError << 0;
}

void TestFraming::verdicts()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, status);
    QFETCH(int, stored);

    Receiver r;
    r.feed(input);
    QCOMPARE(r.sink.status(), status);
    QCOMPARE(r.sink.statuses.size(), 1);
    QCOMPARE(r.sink.log, input);
    QCOMPARE(int(r.state.FrameCount), stored);
    QCOMPARE(int(r.state.PendingLength), 0);
    QVERIFY(r.state.PendingFrame.isEmpty());
    if (stored)
        QCOMPARE(r.state.FrameStore[0], input);
    else
        QVERIFY(r.state.FrameStore[0].isEmpty());
    // A frame only ever decodes into row 1 when it was stored.
    QCOMPARE(r.table.text(1, 0).isEmpty(), stored == 0);
}

void TestFraming::threeFramesFillSlotsAndRowsInOrder()
{
    Receiver r;
    const QByteArray f1 = frame(1, 10), f2 = frame(2, 20), f3 = frame(3, 30);
    r.feed(f1 + f2 + f3);
    QCOMPARE(int(r.state.FrameCount), 3);
    QCOMPARE(r.state.FrameStore[0], f1);
    QCOMPARE(r.state.FrameStore[1], f2);
    QCOMPARE(r.state.FrameStore[2], f3);
    QVERIFY(r.state.FrameStore[3].isEmpty());
    for (int row = 1; row <= 3; ++row) {
        QCOMPARE(r.table.text(row, 0), QString::number(row));
        QCOMPARE(r.table.text(row, 1), QString::number(row * 10));
        QCOMPARE(r.table.text(row, 6), QString::number(5 * row * 10 + 10));
    }
    QVERIFY(r.table.text(4, 0).isEmpty());
    QCOMPARE(r.sink.statuses, QStringList({Verdict::DataOk, Verdict::DataOk, Verdict::DataOk}));
    QCOMPARE(r.sink.log, f1 + f2 + f3);
}

void TestFraming::leadCharactersInsideOpenFrameAreContent()
{
    Receiver r;
    // A second STX does not restart the frame; NAK third is ordinary content.
    const QByteArray input("\x02" "D\x02\x15\x06" "99\r");
    r.feed(input);
    QCOMPARE(int(r.state.FrameCount), 1);
    QCOMPARE(r.state.FrameStore[0], input);
    QCOMPARE(r.sink.status(), Verdict::DataOk);
}

void TestFraming::idleCharactersAreLoggedOnly()
{
    Receiver r;
    r.feed("\rxyz\r\n");
    QCOMPARE(int(r.state.PendingLength), 0);
    QVERIFY(r.sink.statuses.isEmpty());
    QCOMPARE(r.sink.log, QByteArray("\rxyz\r\n"));
    // The next STX still opens a frame normally.
    r.feed(frame(5, 1));
    QCOMPARE(int(r.state.FrameCount), 1);
    QCOMPARE(r.table.text(1, 0), QStringLiteral("5"));
}

void TestFraming::resetInTheMiddleOfAFrame()
{
    Receiver r;
    r.feed(frame(1, 1));
    r.feed("\x02" "D02 000");
    QVERIFY(r.state.PendingLength > 0);
    ResetReception(r.state);
    QCOMPARE(int(r.state.PendingLength), 0);
    QCOMPARE(int(r.state.FrameCount), 0);
    for (const auto &slot : r.state.FrameStore)
        QVERIFY(slot.isEmpty());
    // The rest of the abandoned frame is dropped until the next lead character.
    r.feed("01 00002 00003\r");
    QCOMPARE(int(r.state.FrameCount), 0);
    QCOMPARE(r.sink.statuses.size(), 1);
    r.feed(frame(9, 4));
    QCOMPARE(int(r.state.FrameCount), 1);
    QCOMPARE(r.table.text(1, 0), QStringLiteral("9"));
}

void TestFraming::decoderSeesTheNewFramesSlot()
{
    // If FrameCount were advanced before decoding, row 1 would stay empty and the
    // record would land one row too low.
    Receiver r;
    r.feed(frame(42, 7));
    QCOMPARE(r.table.text(1, 0), QStringLiteral("42"));
    QVERIFY(r.table.text(2, 0).isEmpty());
}

void TestFraming::tableFullKeepsRowsAndStore()
{
    Receiver r;
    for (int i = 0; i < 100; ++i)
        r.feed(frame(i % 100, i));
    QCOMPARE(int(r.state.FrameCount), 100);
    QCOMPARE(r.table.text(100, 1), QStringLiteral("99"));
    const QByteArray extra = frame(7, 500);
    r.feed(extra);
    QCOMPARE(int(r.state.FrameCount), 100);
    QCOMPARE(r.sink.status(), Verdict::TableFull);
    QVERIFY(r.state.FrameStore[100].isEmpty());
    QCOMPARE(r.table.text(100, 1), QStringLiteral("99"));
    QCOMPARE(int(r.state.PendingLength), 0);
    // Replies that store nothing still get their own verdicts.
    r.feed("\x06\r");
    QCOMPARE(r.sink.status(), Verdict::AckOk);
}

void TestFraming::overlongFrameIsAbandoned()
{
    Receiver r;
    QByteArray input(1, Ctl::STX);
    input += QByteArray(Module1::MaxPendingLength - 1, '7');   // reaches the limit
    r.feed(input);
    QCOMPARE(int(r.state.PendingLength), 0);
    QCOMPARE(r.sink.status(), Verdict::CommandError);
    r.feed("777\r");                                 // rest of it: idle, ignored
    QCOMPARE(int(r.state.FrameCount), 0);
    QCOMPARE(r.sink.log.size(), input.size() + 4);

    // One character short of the limit, the CR still completes the frame.
    Receiver ok;
    QByteArray longFrame(1, Ctl::STX);
    longFrame += QByteArray(Module1::MaxPendingLength - 2, '1') + '\r';
    ok.feed(longFrame);
    QCOMPARE(int(ok.state.FrameCount), 1);
    QCOMPARE(ok.state.FrameStore[0].size(), qsizetype(Module1::MaxPendingLength));
}

void TestFraming::lostCrMergesReplies()
{
    Receiver r;
    QByteArray first = frame(1, 1);
    first.chop(1);                                   // its CR is lost
    r.feed(first + frame(2, 2));
    QCOMPARE(int(r.state.FrameCount), 1);
    QCOMPARE(r.state.FrameStore[0].size(), 83);
    QCOMPARE(r.table.text(1, 0), QStringLiteral("1"));
    // A NAK reply merged behind a NAK lead: the second character decides.
    Receiver e;
    e.feed(QByteArray("\x15") + "\x15\r");
    QCOMPARE(e.sink.status(), Verdict::Error);
}

QTEST_GUILESS_MAIN(TestFraming)
#include "test_framing.moc"
