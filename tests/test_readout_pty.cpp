// The read-out end to end: the real start-up, the real serial control and two
// pseudo-terminals standing in for COM1 and COM3. The test holds the master sides
// and plays the counter; the operator's clicks go to the windows.

#include "app_identity.h"
#include "startup.h"
#include "clr_all.h"
#include "frm_port.h"
#include "line/serial_comm_control.h"
#include "test_support.h"
#include "window_support.h"

#include <QComboBox>
#include <QtTest>

#include <memory>

namespace {

const QByteArray Rec1 = dataFrame(1, {1, 2, 3, 4, 5});
const QByteArray Rec2 = dataFrame(2, {120, 0, 35, 0, 4});
const QByteArray Rec3 = dataFrame(3, {99999, 10, 0, 0, 0});
const QByteArray Now = dataFrame(0, {7, 0, 0, 0, 1});

// Answers the port dialog: picks COMn and presses 決定.
void choosePort(QObject *scope, int n, std::function<void(frmPORT *)> whileUp = {})
{
    onModal<frmPORT>(scope, [n, whileUp](frmPORT *d) {
        if (whileUp)
            whileUp(d);
        child<QComboBox>(d, "Combo1")->setCurrentIndex(n - 1);
        QTest::mouseClick(child<QPushButton>(d, "Command1"), Qt::LeftButton);
    });
}

// The program as main() builds it, on COM1 and COM3 mapped to the two lines.
struct Program : MainControls
{
    PtyPair com1, com3;
    QObject scope;
    Module1 state;
    std::unique_ptr<SerialCommControl> port;
    std::unique_ptr<frmMain> owned;

    Program()
    {
        qputenv("QZ7310_COM1", com1.slavePath);
        qputenv("QZ7310_COM3", com3.slavePath);
        port = std::make_unique<SerialCommControl>();
    }
    ~Program()
    {
        if (owned)
            owned->close();
        owned.reset();
        port.reset();
        qunsetenv("QZ7310_COM1");
        qunsetenv("QZ7310_COM3");
    }
    // Start-up with the dialog answered by COMn.
    void start(int n, std::function<void(frmPORT *)> whileDialogUp = {})
    {
        choosePort(&scope, n, std::move(whileDialogUp));
        owned = Main(state, *port, [] {});
        w = owned.get();
    }
    void clearAll(bool confirm)
    {
        onModal<CLR_ALL>(&scope, [confirm](CLR_ALL *d) {
            QTest::mouseClick(child<QPushButton>(d, confirm ? "OKButton" : "CancelButton"),
                              Qt::LeftButton);
        });
        click("Command2");
    }
};

} // namespace

class TestReadoutPty : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { setupApplication(); }

    void startUpOnCom1ThenCom3();
    void readOutAndClearAll();
    void unplugKeepsTheTable();
};

void TestReadoutPty::startUpOnCom1ThenCom3()
{
    Program p;
    QVERIFY(p.com1.ok() && p.com3.ok());

    // COM1 is open before the dialog: what the counter sends on it is handled while
    // the dialog is up.
    bool openWhileUp = false, rtsWhileUp = true, heardWhileUp = false;
    int commPortWhileUp = 0;
    QWidget *owner = nullptr;
    p.start(1, [&](frmPORT *d) {
        owner = d->parentWidget();
        openWhileUp = p.port->portOpen();
        commPortWhileUp = p.port->commPort();
        rtsWhileUp = p.port->rtsEnable();
        p.com1.write("\x06\r");
        auto *label5 = child<QLabel>(owner, "Label5");
        heardWhileUp = QTest::qWaitFor([&] { return label5->text() == "COMMAND OK!"; }, 10000);
    });
    QCOMPARE(owner, p.w);
    QVERIFY(p.w && p.w->isVisible());
    QVERIFY(openWhileUp);
    QCOMPARE(commPortWhileUp, 1);
    QVERIFY(!rtsWhileUp);
    QVERIFY(heardWhileUp);
    QCOMPARE(p.txtRx()->text(), QByteArray("\x06\r"));
    QVERIFY(p.port->portOpen());
    QVERIFY(p.port->rtsEnable());
    QCOMPARE(int(p.state.PortNumber), 1);

    // Kept open on COM1: the request goes out there.
    p.click("Command1");
    QTRY_COMPARE_WITH_TIMEOUT(p.com1.line(), rddAll, 10000);

    // COM3 chosen from the menu: the port moves.
    choosePort(&p.scope, 3);
    p.trigger("menuPort");
    QCOMPARE(int(p.state.PortNumber), 3);
    QCOMPARE(p.port->commPort(), 3);
    QVERIFY(p.port->portOpen());
    QCOMPARE(child<QLabel>(p.w, "Label7")->text(), QStringLiteral("COM 1 : 9600,n,8,1"));

    p.com1.write(Rec1); // the old line is no longer listened to
    p.click("Command4");
    QTRY_COMPARE_WITH_TIMEOUT(p.com3.line(), rddNow, 10000);
    QVERIFY(p.com3.write(Now));
    QTRY_COMPARE_WITH_TIMEOUT(p.Label5()->text(), QStringLiteral("COMMAND OK !"), 10000);
    QCOMPARE(p.txtRx()->text(), Now);
    QCOMPARE(p.row(1), QStringList({"0", "7", "0", "0", "0", "1", "8"}));
    QCOMPARE(p.com1.line(), rddAll); // nothing more went to COM1

    // The next showing of the dialog preselects COM3.
    int preselected = -1;
    onModal<frmPORT>(&p.scope, [&](frmPORT *d) {
        preselected = child<QComboBox>(d, "Combo1")->currentIndex();
        d->close();
    });
    p.trigger("menuPort");
    QCOMPARE(preselected, 2);
    QVERIFY(p.port->portOpen());
    QCOMPARE(p.port->commPort(), 3);
}

void TestReadoutPty::readOutAndClearAll()
{
    Program p;
    QVERIFY(p.com1.ok() && p.com3.ok());
    p.start(3);
    QCOMPARE(p.port->commPort(), 3);
    QVERIFY(p.port->portOpen());

    p.click("Command1");
    QTRY_COMPARE_WITH_TIMEOUT(p.com3.line(), rddAll, 10000);
    QCOMPARE(p.cmdFormat()->text(), rddAll);

    // Three records in one burst, with line noise before them.
    const QByteArray burst = QByteArray("z\x00", 2) + Rec1 + Rec2 + Rec3;
    QVERIFY(p.com3.write(burst));
    QTRY_COMPARE_WITH_TIMEOUT(p.state.FrameCount, std::int16_t(3), 10000);
    QCOMPARE(p.Label5()->text(), QStringLiteral("COMMAND OK !"));
    QCOMPARE(p.txtRx()->text(), burst);
    QCOMPARE(p.row(1), QStringList({"1", "1", "2", "3", "4", "5", "15"}));
    QCOMPARE(p.row(2), QStringList({"2", "120", "0", "35", "0", "4", "159"}));
    QCOMPARE(p.row(3), QStringList({"3", "99999", "10", "0", "0", "0", "100009"}));
    QCOMPARE(p.row(4), QStringList(7, QString()));
    QCOMPARE(p.state.FrameStore[2], Rec3);

    // An ACK line, then a NAK reply: verdicts only, the records stay.
    QVERIFY(p.com3.write("\x06\r"));
    QTRY_COMPARE_WITH_TIMEOUT(p.Label5()->text(), QStringLiteral("COMMAND OK!"), 10000);
    QVERIFY(p.com3.write("\x02\x15\r"));
    QTRY_COMPARE_WITH_TIMEOUT(p.Label5()->text(), QStringLiteral("ERROR..."), 10000);
    QCOMPARE(p.state.FrameCount, std::int16_t(3));
    QCOMPARE(p.row(3).first(), QStringLiteral("3"));

    // CLR ALL declined: nothing goes out, nothing changes.
    p.clearAll(false);
    QCOMPARE(p.row(3).first(), QStringLiteral("3"));
    QCOMPARE(p.Label5()->text(), QStringLiteral("ERROR..."));
    QCOMPARE(p.cmdFormat()->text(), rddAll);

    // CLR ALL confirmed: its ten bytes come right after RDD ALL on the line.
    p.clearAll(true);
    QTRY_COMPARE_WITH_TIMEOUT(p.com3.line(), rddAll + clrAll, 10000);
    QCOMPARE(p.cmdFormat()->text(), clrAll);
    QCOMPARE(p.row(1), QStringList(7, QString()));
    QVERIFY(p.txtRx()->text().isEmpty());
    QCOMPARE(p.state.FrameCount, std::int16_t(0));
    QVERIFY(p.com3.write("\x06\r"));
    QTRY_COMPARE_WITH_TIMEOUT(p.Label5()->text(), QStringLiteral("COMMAND OK!"), 10000);
    QCOMPARE(p.txtRx()->text(), QByteArray("\x06\r"));

    // The next request starts again from row 1.
    p.click("Command4");
    QTRY_COMPARE_WITH_TIMEOUT(p.com3.line(), rddAll + clrAll + rddNow, 10000);
    QVERIFY(p.com3.write(Now));
    QTRY_COMPARE_WITH_TIMEOUT(p.state.FrameCount, std::int16_t(1), 10000);
    QCOMPARE(p.row(1).last(), QStringLiteral("8"));
    QCOMPARE(p.com1.line(), QByteArray());
}

void TestReadoutPty::unplugKeepsTheTable()
{
    Program p;
    QVERIFY(p.com1.ok() && p.com3.ok());
    p.start(1);

    p.click("Command1");
    QTRY_COMPARE_WITH_TIMEOUT(p.com1.line(), rddAll, 10000);
    QVERIFY(p.com1.write(Rec1 + Rec2));
    QTRY_COMPARE_WITH_TIMEOUT(p.state.FrameCount, std::int16_t(2), 10000);
    const QByteArray log = p.txtRx()->text();

    p.com1.unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!p.port->portOpen(), 10000);
    QApplication::processEvents();
    QVERIFY(p.w->isVisible());
    QCOMPARE(p.row(1), QStringList({"1", "1", "2", "3", "4", "5", "15"}));
    QCOMPARE(p.row(2).last(), QStringLiteral("159"));
    QCOMPARE(p.Label5()->text(), QStringLiteral("COMMAND OK !"));
    QCOMPARE(p.txtRx()->text(), log);

    // The next request is refused with a warning; the records stay.
    BoxSeen box;
    closeNextMessageBox(&p.scope, box);
    p.click("Command1");
    QCOMPARE(box.count, 1);
    QCOMPARE(box.title, QStringLiteral("QZ-7310 TALVEN SOFTWARE"));
    QCOMPARE(box.text, portNotOpenWarningText(p.port->lastFailure(), p.state.PortNumber));
    QCOMPARE(p.port->lastFailure().kind, PortFailure::Kind::Lost);
    QCOMPARE(p.row(2).last(), QStringLiteral("159"));
    QCOMPARE(p.state.FrameCount, std::int16_t(2));
    QCOMPARE(p.cmdFormat()->text(), rddAll);

    // Another line chosen from the menu works again.
    choosePort(&p.scope, 3);
    p.trigger("menuPort");
    QVERIFY(p.port->portOpen());
    p.click("Command4");
    QTRY_COMPARE_WITH_TIMEOUT(p.com3.line(), rddNow, 10000);
}

QTEST_MAIN(TestReadoutPty)
#include "test_readout_pty.moc"
