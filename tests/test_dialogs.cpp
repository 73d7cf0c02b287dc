#include "fake_comm_control.h"
#include "fake_request_view.h"
#include "clr_all.h"
#include "frm_port.h"
#include "line/port_control.h"
#include "line/request.h"
#include "test_support.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

namespace {

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

// Runs action once the modal loop is up, then returns exec()'s result.
int execWith(QDialog &dlg, const std::function<void()> &action)
{
    QTimer::singleShot(0, &dlg, action);
    return dlg.exec();
}

} // namespace

// The port selection dialog and the clear-all confirmation.
class TestDialogs : public QObject
{
    Q_OBJECT
private slots:
    void portDialogLoad_data();
    void portDialogLoad();
    void portDialogClose_data();
    void portDialogClose();
    void portDialogLayout();
    void portDialogFocusAndTabOrder();

    void clearAllDialog_data();
    void clearAllDialog();
    void clearAllSendsThroughRequest_data();
    void clearAllSendsThroughRequest();
    void clearAllLayoutAndFocus();
};

void TestDialogs::portDialogLoad_data()
{
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QByteArray>("com4");
    QTest::addColumn<QString>("com4Tip");
    // Not a path: Qt opens /dev/null.
    const QByteArray null = "null";
    const QString nullTip = QStringLiteral("COM4 = /dev/null（QZ7310_COM4 で指定、デバイスがあります）");
    QTest::newRow("COM1") << 1 << 0 << null << nullTip;
    QTest::newRow("COM3") << 3 << 2 << null << nullTip;
    QTest::newRow("COM4") << 4 << 3 << null << nullTip;
    QTest::newRow("none yet") << 0 << -1 << null << nullTip;
    QTest::newRow("COM4 on a device server")
        << 4 << 3 << QByteArray("tcp://[::1]:4001")
        << QStringLiteral("COM4 = tcp://[::1]:4001（QZ7310_COM4 で指定、デバイスサーバー: ホスト ::1、ポート 4001、raw TCP）");
}

void TestDialogs::portDialogLoad()
{
    QFETCH(int, portNumber);
    QFETCH(int, selected);
    QFETCH(QByteArray, com4);
    QFETCH(QString, com4Tip);

    QTemporaryFile present;
    QVERIFY(present.open());
    qputenv("QZ7310_COM1", QFile::encodeName(present.fileName()));
    qputenv("QZ7310_COM2", "/nonexistent/qz7310");
    qunsetenv("QZ7310_COM3");
    qputenv("QZ7310_COM4", com4);
    const auto unmap = qScopeGuard([] { qunsetenv("QZ7310_COM4"); });
    Module1 state;
    state.PortNumber = std::int16_t(portNumber);
    FakeCommControl port;
    OpenPort(state, port, false);
    port.calls.clear();

    frmPORT dlg(state, port);
    auto *combo = dlg.findChild<QComboBox *>("Combo1");
    QVERIFY(combo);
    QCOMPARE(combo->count(), 4);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(combo->itemText(i), QStringLiteral("COM%1").arg(i + 1));
    QCOMPARE(combo->currentIndex(), selected);
    QCOMPARE(combo->placeholderText(), QStringLiteral("Port Select..."));
    // Each entry's tooltip: the device it stands for and whether it is there now.
    QCOMPARE(combo->itemData(0, Qt::ToolTipRole).toString(),
             QStringLiteral("COM1 = %1（QZ7310_COM1 で指定、デバイスがあります）").arg(present.fileName()));
    QCOMPARE(combo->itemData(1, Qt::ToolTipRole).toString(),
             QStringLiteral("COM2 = /nonexistent/qz7310（QZ7310_COM2 で指定、デバイスが見つかりません）"));
    QVERIFY(combo->itemData(2, Qt::ToolTipRole).toString().startsWith(QStringLiteral("COM3 = /dev/ttyS2（デ")));
    QCOMPARE(combo->itemData(3, Qt::ToolTipRole).toString(), com4Tip);
    QCOMPARE(port.calls, QStringList{"RTS=0"});
    QVERIFY(port.isOpen);
    QVERIFY(!port.rts);
}

void TestDialogs::portDialogClose_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("choose");
    QTest::addColumn<int>("expectedPort");
    QTest::addColumn<int>("expectedResult");
    QTest::newRow("Command1 with COM3") << "click" << 2 << 3 << int(QDialog::Accepted);
    QTest::newRow("Return on Command1 with COM4") << "return" << 3 << 4 << int(QDialog::Accepted);
    QTest::newRow("Command1 without a selection") << "click" << -1 << 2 << int(QDialog::Accepted);
    QTest::newRow("close box after choosing COM3") << "close" << 2 << 2 << int(QDialog::Rejected);
    QTest::newRow("Escape") << "escape" << 0 << 2 << int(QDialog::Rejected);
}

void TestDialogs::portDialogClose()
{
    QFETCH(QString, how);
    QFETCH(int, choose);
    QFETCH(int, expectedPort);
    QFETCH(int, expectedResult);

    Module1 state;
    state.PortNumber = 2;
    FakeCommControl port;
    OpenPort(state, port, false);
    port.calls.clear();

    frmPORT dlg(state, port);
    auto *combo = dlg.findChild<QComboBox *>("Combo1");
    auto *command1 = dlg.findChild<QPushButton *>("Command1");
    QVERIFY(combo && command1);

    bool rtsWhileUp = true;
    bool visibleWhileUp = false;
    const int result = execWith(dlg, [&] {
        rtsWhileUp = port.rts;
        visibleWhileUp = dlg.isVisible();
        combo->setCurrentIndex(choose);
        if (how == "click") {
            QTest::mouseClick(command1, Qt::LeftButton);
        } else if (how == "return") {
            command1->setFocus();
            QTest::keyClick(command1, Qt::Key_Return);
        } else if (how == "close") {
            dlg.close();
        } else {
            QTest::keyClick(&dlg, Qt::Key_Escape);
        }
        dlg.close(); // in case the action did not close it
    });

    QVERIFY(visibleWhileUp);
    QVERIFY(!rtsWhileUp);
    QCOMPARE(result, expectedResult);
    QVERIFY(!dlg.isVisible());
    // Whatever closes it again must not reopen the port again.
    dlg.close();
    dlg.reject();
    dlg.accept();
    QCOMPARE(int(state.PortNumber), expectedPort);
    QCOMPARE(port.calls,
             QStringList({"RTS=0", "PortOpen=0", QStringLiteral("CommPort=%1").arg(expectedPort),
                          "Settings=9600,n,8,1", "PortOpen=1", "RTS=1"}));
    QVERIFY(port.isOpen);
    QVERIFY(port.rts);

    // The next showing preselects the port now in use.
    frmPORT again(state, port);
    QCOMPARE(again.findChild<QComboBox *>("Combo1")->currentIndex(), expectedPort - 1);
}

void TestDialogs::portDialogLayout()
{
    Module1 state;
    state.PortNumber = 1;
    FakeCommControl port;
    frmPORT dlg(state, port);

    QCOMPARE(dlg.objectName(), QStringLiteral("frmPORT"));
    QCOMPARE(dlg.windowTitle(), QStringLiteral("COM PORT"));
    QCOMPARE(dlg.minimumSize(), QSize(332, 166));
    QCOMPARE(dlg.maximumSize(), QSize(332, 166));
    const Qt::WindowFlags flags = dlg.windowFlags();
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(dlg.palette().color(QPalette::Window), QColor(192, 192, 192));
    QCOMPARE(dlg.font().family(), QStringLiteral("ＭＳ ゴシック"));
    QCOMPARE(dlg.font().pointSizeF(), 9.0);

    struct Expect { const char *name; QString text; QRect rect; };
    const Expect controls[] = {
        {"Label1", QStringLiteral("使用する通信ポートを選択してください。"), twips(480, 360, 2415, 615)},
        {"Combo1", QString(), twips(3240, 360, 1215, 300)},
        {"Command1", QStringLiteral("決定"), twips(3480, 840, 975, 375)},
        {"Frame1", QStringLiteral("通信条件"), twips(360, 1440, 4335, 855)},
        {"Label7", QStringLiteral("ボーレート：9600"), twips(240, 240, 1695, 255)},
        {"Label8", QStringLiteral("パリティ：Non"), twips(2040, 240, 1695, 255)},
        {"Label9", QStringLiteral("データ長：8ビット"), twips(240, 480, 1695, 255)},
        {"Label10", QStringLiteral("ストップビット：1ビット"), twips(2040, 480, 2295, 255)},
    };
    auto *frame = dlg.findChild<QGroupBox *>("Frame1");
    QVERIFY(frame);
    for (const Expect &e : controls) {
        auto *w = dlg.findChild<QWidget *>(e.name);
        QVERIFY2(w, e.name);
        QCOMPARE(w->geometry(), e.rect);
        const bool inFrame = QByteArray(e.name).startsWith("Label") && QByteArray(e.name) != "Label1";
        QCOMPARE(w->parentWidget(), inFrame ? static_cast<QWidget *>(frame) : &dlg);
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(label->text(), e.text);
        else if (auto *button = qobject_cast<QPushButton *>(w))
            QCOMPARE(button->text(), e.text);
        else if (auto *group = qobject_cast<QGroupBox *>(w))
            QCOMPARE(group->title(), e.text);
    }

    const QFont label1 = dlg.findChild<QLabel *>("Label1")->font();
    QCOMPARE(label1.family(), QStringLiteral("ＭＳ ゴシック"));
    QCOMPARE(label1.pointSizeF(), 11.25);
    QVERIFY(label1.bold());
    QVERIFY(dlg.findChild<QLabel *>("Label1")->wordWrap());
    const QFont combo = dlg.findChild<QComboBox *>("Combo1")->font();
    QCOMPARE(combo.family(), QStringLiteral("ＭＳ Ｐゴシック"));
    QCOMPARE(combo.pointSizeF(), 9.0);
    dlg.reject();
}

void TestDialogs::portDialogFocusAndTabOrder()
{
    Module1 state;
    state.PortNumber = 1;
    FakeCommControl port;
    QWidget owner;
    owner.setGeometry(100, 100, 800, 600);
    owner.show();
    frmPORT dlg(state, port, &owner);
    auto *combo = dlg.findChild<QComboBox *>("Combo1");
    auto *command1 = dlg.findChild<QPushButton *>("Command1");

    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QCOMPARE(QApplication::focusWidget(), command1);
    QTest::keyClick(command1, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), combo);
    QTest::keyClick(combo, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), command1);
    // Centred on its owner.
    QCOMPARE(dlg.frameGeometry().center(), owner.frameGeometry().center());
    dlg.reject();
}

void TestDialogs::clearAllDialog_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("expectedRuns");
    QTest::addColumn<int>("expectedResult");
    QTest::newRow("OKButton") << "ok" << 1 << int(QDialog::Accepted);
    QTest::newRow("Space on OKButton") << "space" << 1 << int(QDialog::Accepted);
    QTest::newRow("CancelButton") << "cancel" << 0 << int(QDialog::Rejected);
    QTest::newRow("close box") << "close" << 0 << int(QDialog::Rejected);
    QTest::newRow("Escape") << "escape" << 0 << int(QDialog::Rejected);
}

void TestDialogs::clearAllDialog()
{
    QFETCH(QString, how);
    QFETCH(int, expectedRuns);
    QFETCH(int, expectedResult);

    int runs = 0;
    bool visibleDuringRun = false;
    CLR_ALL *self = nullptr;
    CLR_ALL dlg([&] {
        ++runs;
        visibleDuringRun = self->isVisible();
    });
    self = &dlg;
    auto *ok = dlg.findChild<QPushButton *>("OKButton");
    auto *cancel = dlg.findChild<QPushButton *>("CancelButton");
    QVERIFY(ok && cancel);

    const int result = execWith(dlg, [&] {
        if (how == "ok")
            QTest::mouseClick(ok, Qt::LeftButton);
        else if (how == "space")
            QTest::keyClick(ok, Qt::Key_Space);
        else if (how == "cancel")
            QTest::mouseClick(cancel, Qt::LeftButton);
        else if (how == "close")
            dlg.close();
        else
            QTest::keyClick(&dlg, Qt::Key_Escape);
        dlg.close(); // in case the action did not close it
    });

    QCOMPARE(runs, expectedRuns);
    if (expectedRuns)
        QVERIFY(visibleDuringRun); // sent first, closed afterwards
    QCOMPARE(result, expectedResult);
    QVERIFY(!dlg.isVisible());
}

void TestDialogs::clearAllSendsThroughRequest_data()
{
    QTest::addColumn<bool>("open");
    QTest::newRow("port open") << true;
    QTest::newRow("port closed") << false;
}

void TestDialogs::clearAllSendsThroughRequest()
{
    QFETCH(bool, open);

    Module1 state;
    FakeCommControl port;
    port.isOpen = open;
    FakeView view(port.calls);
    fillBusyState(state, view);

    CLR_ALL dlg([&] { SendCommand(state, port, view, "CLR", "ALL"); });
    const int result = execWith(dlg, [&] {
        QTest::mouseClick(dlg.findChild<QPushButton *>("OKButton"), Qt::LeftButton);
        dlg.close();
    });

    // The dialog closes whether or not the command went out.
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(!dlg.isVisible());
    if (open) {
        QCOMPARE(port.written, clrAll);
        QCOMPARE(state.FrameCount, std::int16_t(0));
        QVERIFY(view.table.text(99, 0).isEmpty());
        QCOMPARE(view.table.text(100, 0), QStringLiteral("100"));
        QCOMPARE(view.warnings, 0);
    } else {
        QVERIFY(port.written.isEmpty());
        QCOMPARE(state.FrameCount, std::int16_t(3));
        QCOMPARE(view.table.text(99, 0), QStringLiteral("99"));
        QCOMPARE(view.warnings, 1);
    }
}

void TestDialogs::clearAllLayoutAndFocus()
{
    QWidget owner;
    owner.setGeometry(50, 80, 900, 700);
    owner.show();
    // Each showing is a fresh dialog that opens the same way.
    for (int showing = 0; showing < 2; ++showing) {
        int runs = 0;
        CLR_ALL dlg([&] { ++runs; }, &owner);
        QCOMPARE(dlg.objectName(), QStringLiteral("CLR_ALL"));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("確認"));
        QCOMPARE(dlg.minimumSize(), QSize(334, 116));
        QCOMPARE(dlg.maximumSize(), QSize(334, 116));
        const Qt::WindowFlags flags = dlg.windowFlags();
        QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(dlg.palette().color(QPalette::Window), QColor(250, 248, 165));
        QCOMPARE(dlg.font().family(), QStringLiteral("ＭＳ ゴシック"));
        QCOMPARE(dlg.font().pointSizeF(), 9.0);

        auto *label = dlg.findChild<QLabel *>("Label1");
        auto *ok = dlg.findChild<QPushButton *>("OKButton");
        auto *cancel = dlg.findChild<QPushButton *>("CancelButton");
        QVERIFY(label && ok && cancel);
        QCOMPARE(label->text(), QStringLiteral("QZ-7310 の記録データを消してもよろしいですか？"));
        QCOMPARE(label->font().pointSizeF(), 9.75);
        QCOMPARE(label->geometry(), twips(240, 480, 4575, 255));
        QCOMPARE(ok->text(), QStringLiteral("OK"));
        QCOMPARE(ok->geometry(), twips(1080, 1080, 1215, 375));
        QCOMPARE(cancel->text(), QStringLiteral("ｷｬﾝｾﾙ"));
        QCOMPARE(cancel->geometry(), twips(2640, 1080, 1215, 375));
        QCOMPARE(ok->font().pointSizeF(), 9.0);

        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QCOMPARE(QApplication::focusWidget(), ok);
        QTest::keyClick(ok, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), cancel);
        QTest::keyClick(cancel, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), ok);
        QCOMPARE(dlg.frameGeometry().center(), owner.frameGeometry().center());
        dlg.reject();
        QCOMPARE(runs, 0);
    }
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
