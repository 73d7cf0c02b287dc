#include "table/number_text.h"
#include "table/record_decoder.h"
#include "test_support.h"

#include <QtTest>

class TestDecoding : public QObject
{
    Q_OBJECT
private slots:
    void numberText_data();
    void numberText();
    void recordFields_data();
    void recordFields();
    void setupHasHeadingsWidthsAndEmptyRows();
    void clearKeepsRow100AndFrameCount();
};

void TestDecoding::numberText_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("text");
    QTest::newRow("leading zeros") << QByteArray("00123") << "123";
    QTest::newRow("all zeros") << QByteArray("00000") << "0";
    QTest::newRow("blanks around") << QByteArray(" 45  ") << "45";
    QTest::newRow("blanks inside") << QByteArray("1 2 3") << "123";
    QTest::newRow("tab and LF skipped") << QByteArray("\t1\n2") << "12";
    QTest::newRow("negative") << QByteArray("-0012") << "-12";
    QTest::newRow("plus sign") << QByteArray("+0007") << "7";
    QTest::newRow("minus zero") << QByteArray("-0000") << "0";
    QTest::newRow("empty") << QByteArray("") << "0";
    QTest::newRow("all blank") << QByteArray("     ") << "0";
    QTest::newRow("fraction") << QByteArray("012.50") << "12.5";
    QTest::newRow("fraction only") << QByteArray(".5") << "0.5";
    QTest::newRow("negative fraction") << QByteArray("-.25") << "-0.25";
    QTest::newRow("zero fraction") << QByteArray("3.000") << "3";
    QTest::newRow("lone point") << QByteArray(".") << "0";
    QTest::newRow("second point stops") << QByteArray("1.2.3") << "1.2";
    QTest::newRow("second sign stops") << QByteArray("-1-2") << "-1";
    QTest::newRow("sign after digits stops") << QByteArray("12-3") << "12";
    QTest::newRow("letter stops") << QByteArray("12A34") << "12";
    QTest::newRow("letters only") << QByteArray("ABCDE") << "0";
    QTest::newRow("hex prefix stops") << QByteArray("0x1F") << "0";
    QTest::newRow("exponent stops") << QByteArray("1E5") << "1";
    QTest::newRow("CR stops") << QByteArray("12\r34") << "12";
    QTest::newRow("comma stops") << QByteArray("1,234") << "1";
    QTest::newRow("six nines") << QByteArray("999999") << "999999";
    QTest::newRow("high byte stops") << QByteArray("7\xff" "8") << "7";
    QTest::newRow("NUL stops") << QByteArray("5\0" "6", 3) << "5";
    QTest::newRow("sign after a leading zero stops") << QByteArray("0-5") << "0";
    QTest::newRow("sign after blanked zeros stops") << QByteArray("0 0+7") << "0";
    // Longer than any field of a record: nothing is cut or rounded.
    QTest::newRow("many digits")
        << QByteArray("-000000000012345678901234567890123456789012345.678901234567890123456789012345678900")
        << "-12345678901234567890123456789012345.6789012345678901234567890123456789";
}

void TestDecoding::numberText()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, text);
    QCOMPARE(plainNumberText(field), text);
}

void TestDecoding::recordFields_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("cells");

    QTest::newRow("example record")
        << QByteArray("\x02" "D07 00120 00000 00035 00000 00004 000159\r")
        << QStringList{"7", "120", "0", "35", "0", "4", "159"};
    QTest::newRow("blank record number")
        << QByteArray("\x02" "D   00001 00002 00003 00004 00005 000015\r")
        << QStringList{"0", "1", "2", "3", "4", "5", "15"};
    QTest::newRow("ends before TOTAL")
        << QByteArray("\x02" "D12 00001 00002 00003 00004 00005\r")
        << QStringList{"12", "1", "2", "3", "4", "5", "0"};
    QTest::newRow("ends before CNTR5")
        << QByteArray("\x02" "D12 00001 00002 00003 00004\r")
        << QStringList{"12", "1", "2", "3", "4", "0", "0"};
    QTest::newRow("STX CR only")
        << QByteArray("\x02\r") << QStringList{"0", "0", "0", "0", "0", "0", "0"};
    QTest::newRow("signed and fractions")
        << QByteArray("\x02" "D-1 -0012 +0003 01.50 -.500 0000. -00000\r")
        << QStringList{"-1", "-12", "3", "1.5", "-0.5", "0", "0"};
    QTest::newRow("letters")
        << QByteArray("\x02" "DAB 12X45 ABCDE 0001Z 99999 00x10 99999A\r")
        << QStringList{"0", "12", "0", "1", "99999", "0", "99999"};
    QTest::newRow("unread positions ignored")
        << QByteArray("\x02" "Z01#00010#00020#00030#00040#00050#000150#extra\r")
        << QStringList{"1", "10", "20", "30", "40", "50", "150"};
}

void TestDecoding::recordFields()
{
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, cells);

    // Through the receive path, so the decoder runs exactly as the program runs it.
    Receiver rx;
    rx.state.FrameCount = 4;              // lands in row 5
    rx.feed(frame);
    QCOMPARE(int(rx.state.FrameCount), 5);
    for (int c = 0; c < CounterTable::Columns; ++c)
        QCOMPARE(rx.table.text(5, c), cells[c]);
    QVERIFY(rx.table.text(4, 0).isEmpty());
    QVERIFY(rx.table.text(6, 0).isEmpty());
}

void TestDecoding::setupHasHeadingsWidthsAndEmptyRows()
{
    CounterTable table;
    table.SetupCounterTable();
    QCOMPARE(table.rowCount(), 101);
    QCOMPARE(table.columnCount(), 7);
    const QStringList headings{"No.", "CNTR1", "CNTR2", "CNTR3", "CNTR4", "CNTR5", "TOTAL"};
    const int widths[] = {660, 800, 800, 800, 800, 800, 1050};
    for (int c = 0; c < 7; ++c) {
        QCOMPARE(table.text(0, c), headings[c]);
        QCOMPARE(table.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), headings[c]);
        QCOMPARE(table.columnWidthTwips(c), widths[c]);
        QCOMPARE(table.alignment(c), Qt::AlignHCenter | Qt::AlignVCenter);
        for (int r = 1; r <= 100; ++r)
            QVERIFY(table.text(r, c).isEmpty());
    }
    // Out-of-range cells are never written.
    table.setText(101, 0, "x");
    table.setText(0, 7, "x");
    QVERIFY(table.text(101, 0).isEmpty());
}

void TestDecoding::clearKeepsRow100AndFrameCount()
{
    Receiver rx;
    const QByteArray f = dataFrame(1, {1, 2, 3, 4, 5});
    rx.feed(f + f);
    rx.table.setText(100, 3, "77");
    rx.table.clearRecordRows();
    QCOMPARE(int(rx.state.FrameCount), 2);
    QVERIFY(!rx.state.FrameStore[1].isEmpty());
    for (int r = 1; r <= 99; ++r)
        for (int c = 0; c < 7; ++c)
            QVERIFY(rx.table.text(r, c).isEmpty());
    QCOMPARE(rx.table.text(100, 3), QStringLiteral("77"));
    QCOMPARE(rx.table.text(0, 6), QStringLiteral("TOTAL"));
    // The next frame goes on from FrameCount: row 3, not row 1.
    rx.feed(f);
    QVERIFY(rx.table.text(1, 0).isEmpty());
    QCOMPARE(rx.table.text(3, 0), QStringLiteral("1"));
}

QTEST_GUILESS_MAIN(TestDecoding)
#include "test_decoding.moc"
