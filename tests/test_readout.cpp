// The whole read-out driven through the main window's buttons and menu, with the
// scripted serial control: what goes on the line and when, what the window keeps and
// what it empties, the port dialog, the clear-all dialog, refused requests and the
// CSV save dialog.

#include "app_identity.h"
#include "startup.h"
#include "clr_all.h"
#include "frm_port.h"
#include "test_support.h"
#include "window_support.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray Frame01 = dataFrame(1, {1, 2, 3, 4, 5});
const QByteArray Frame02 = dataFrame(2, {120, 0, 35, 0, 4});
const QByteArray Frame00 = dataFrame(0, {10, 20, 30, 40, 50});

const QString TitleText = QStringLiteral("QZ-7310 TALVEN SOFTWARE");
const QString Label7Text = QStringLiteral("COM 1 : 9600,n,8,1");

// Everything a request may touch.
struct Snapshot
{
    QStringList cells;
    QString status;
    QByteArray rx;
    QByteArray transmit;
    std::array<QByteArray, Module1::FrameStoreSlots> store;
    std::int16_t frameCount = 0;
    std::int16_t pendingLength = 0;
};

struct Window : ScriptedMain
{
    // Two records in, a third half received, row 100 holding a left-over record.
    void fillBusy()
    {
        port.isOpen = true;
        window.counterTable().setRow(100, {"100", "9", "9", "9", "9", "9", "45"});
        port.receive(Frame01 + Frame02 + Frame00.left(20));
    }

    Snapshot snapshot()
    {
        Snapshot s;
        for (int r = 0; r < CounterTable::Rows; ++r)
            for (int c = 0; c < CounterTable::Columns; ++c)
                s.cells << cell(r, c);
        s.status = Label5()->text();
        s.rx = txtRx()->text();
        s.transmit = cmdFormat()->text();
        s.store = state.FrameStore;
        s.frameCount = state.FrameCount;
        s.pendingLength = state.PendingLength;
        return s;
    }
};

void compareSnapshots(const Snapshot &now, const Snapshot &before)
{
    QCOMPARE(now.cells, before.cells);
    QCOMPARE(now.status, before.status);
    QCOMPARE(now.rx, before.rx);
    QCOMPARE(now.transmit, before.transmit);
    for (int i = 0; i < Module1::FrameStoreSlots; ++i)
        QCOMPARE(now.store[i], before.store[i]);
    QCOMPARE(now.frameCount, before.frameCount);
    QCOMPARE(now.pendingLength, before.pendingLength);
}

// Presses a request button; Command2 is confirmed in its dialog.
void pressRequest(Window &win, const QString &button, bool *dialogGoneAfter = nullptr)
{
    if (button == QLatin1String("Command2"))
        onModal<CLR_ALL>(win.w, [](CLR_ALL *d) {
            QTest::mouseClick(child<QPushButton>(d, "OKButton"), Qt::LeftButton);
        });
    win.click(qPrintable(button));
    if (dialogGoneAfter)
        *dialogGoneAfter = !win.w->findChild<CLR_ALL *>() && !QApplication::activeModalWidget();
}

} // namespace

class TestReadout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void requestButtons_data();
    void requestButtons();
    void portDialogFromMenu_data();
    void portDialogFromMenu();
    void clearAllDeclined_data();
    void clearAllDeclined();
    void refusedRequest_data();
    void refusedRequest();
    void csvSaveDialog_data();
    void csvSaveDialog();
    void qtSettingsOnlyAfterSaveDialog();

private:
    QTemporaryDir m_userConfig; // Qt's user settings, instead of the real ones
};

void TestReadout::initTestCase()
{
    setupApplication();
    QVERIFY(m_userConfig.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_userConfig.path());
}

// --- requests ---------------------------------------------------------------------

void TestReadout::requestButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("row1No");

    QTest::newRow("Command1 RDD ALL") << "Command1" << rddAll
                                      << Frame01 + Frame02 << "COMMAND OK !" << 2 << "1";
    QTest::newRow("Command4 RDD NOW") << "Command4" << rddNow
                                      << Frame00 << "COMMAND OK !" << 1 << "0";
    QTest::newRow("Command2 CLR ALL") << "Command2" << clrAll
                                      << ackReply << "COMMAND OK!" << 0 << "";
}

void TestReadout::requestButtons()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QFETCH(QString, verdict);
    QFETCH(int, frames);
    QFETCH(QString, row1No);

    Window win;
    QVERIFY(win.show());
    win.fillBusy();
    QCOMPARE(win.state.FrameCount, std::int16_t(2));
    QVERIFY(win.state.PendingLength > 0);
    const QByteArray rxBefore = win.txtRx()->text();
    const QStringList row100 = {"100", "9", "9", "9", "9", "9", "45"};

    // At the write: the command is in the box and the table is cleared, but the log
    // and the reception state are still the old ones.
    QByteArray rxAtWrite, transmitAtWrite;
    int frameCountAtWrite = -1;
    QString row1AtWrite = "unset";
    win.port.beforeWrite = [&] {
        rxAtWrite = win.txtRx()->text();
        transmitAtWrite = win.cmdFormat()->text();
        frameCountAtWrite = win.state.FrameCount;
        row1AtWrite = win.cell(1, 0);
    };
    win.port.calls.clear();

    bool dialogGone = false;
    pressRequest(win, button, &dialogGone);

    QVERIFY(dialogGone);
    QCOMPARE(win.port.calls, QStringList{"Output=" + QString::fromLatin1(command.toHex())});
    QCOMPARE(win.port.written, command);
    QCOMPARE(win.port.written.size(), 10);
    QCOMPARE(transmitAtWrite, command);
    QCOMPARE(rxAtWrite, rxBefore);
    QCOMPARE(frameCountAtWrite, 2);
    QCOMPARE(row1AtWrite, QString());

    QCOMPARE(win.cmdFormat()->text(), command);
    QVERIFY(win.txtRx()->text().isEmpty());
    QVERIFY(win.Label5()->text().isEmpty());
    QCOMPARE(win.state.FrameCount, std::int16_t(0));
    QCOMPARE(win.state.PendingLength, std::int16_t(0));
    for (int i = 0; i < Module1::FrameStoreSlots; ++i)
        QVERIFY2(win.state.FrameStore[i].isEmpty(), qPrintable(QString::number(i)));
    for (int r = 1; r <= 99; ++r)
        for (int c = 0; c < CounterTable::Columns; ++c)
            QVERIFY(win.cell(r, c).isEmpty());
    for (int c = 0; c < CounterTable::Columns; ++c) {
        QCOMPARE(win.cell(100, c), row100[c]);
        QVERIFY(!win.cell(0, c).isEmpty()); // headings
    }

    // The rest of the reply that was arriving is dropped; the new reply starts at
    // slot 0 and row 1, and the log shows only what came after the press.
    const QByteArray rest = Frame00.mid(20);
    win.port.receive(rest + reply);
    QCOMPARE(win.txtRx()->text(), rest + reply);
    QCOMPARE(win.Label5()->text(), verdict);
    QCOMPARE(int(win.state.FrameCount), frames);
    QCOMPARE(win.state.FrameStore[0], frames > 0 ? reply.left(42) : QByteArray());
    QCOMPARE(win.cell(1, 0), row1No);
    QCOMPARE(win.cell(frames + 1, 0), QString());
    QCOMPARE(win.cell(100, 0), QStringLiteral("100"));
}

// --- the port dialog from the menu --------------------------------------------------

void TestReadout::portDialogFromMenu_data()
{
    QTest::addColumn<int>("choose");  // Combo1 entry picked, -1: left as it is
    QTest::addColumn<bool>("confirm"); // 決定, else the close box
    QTest::addColumn<int>("expectedPort");

    QTest::newRow("COM3 and 決定") << 2 << true << 3;
    QTest::newRow("COM3 then close box") << 2 << false << 1;
    QTest::newRow("same port and 決定") << -1 << true << 1;
}

void TestReadout::portDialogFromMenu()
{
    QFETCH(int, choose);
    QFETCH(bool, confirm);
    QFETCH(int, expectedPort);

    Window win;
    QVERIFY(win.show());
    QVERIFY(win.port.isOpen);
    win.port.calls.clear();

    bool rtsWhileUp = true, openWhileUp = false;
    int preselected = -2;
    QByteArray rxWhileUp;
    QString row1WhileUp;
    onModal<frmPORT>(win.w, [&](frmPORT *d) {
        rtsWhileUp = win.port.rts;
        openWhileUp = win.port.isOpen;
        auto *combo = child<QComboBox>(d, "Combo1");
        preselected = combo->currentIndex();
        // Replies keep being handled under the modal dialog.
        win.port.receive(Frame01);
        rxWhileUp = win.txtRx()->text();
        row1WhileUp = win.cell(1, 6);
        if (choose >= 0)
            combo->setCurrentIndex(choose);
        if (confirm)
            QTest::mouseClick(child<QPushButton>(d, "Command1"), Qt::LeftButton);
        else
            d->close();
    });
    win.trigger("menuPort");

    QCOMPARE(preselected, 0);
    QVERIFY(!rtsWhileUp);
    QVERIFY(openWhileUp);
    QCOMPARE(rxWhileUp, Frame01);
    QCOMPARE(row1WhileUp, QStringLiteral("15"));
    QVERIFY(!QApplication::activeModalWidget());

    QCOMPARE(int(win.state.PortNumber), expectedPort);
    QCOMPARE(win.port.calls, portDialogCalls(expectedPort));
    QVERIFY(win.port.isOpen);
    QVERIFY(win.port.rts);
    QCOMPARE(child<QLabel>(win.w, "Label7")->text(), Label7Text);
    // The dialog changed nothing of what was received.
    QCOMPARE(win.txtRx()->text(), Frame01);
    QCOMPARE(win.state.FrameCount, std::int16_t(1));

    // The next showing preselects the port now in use.
    int preselectedAgain = -2;
    onModal<frmPORT>(win.w, [&](frmPORT *d) {
        preselectedAgain = child<QComboBox>(d, "Combo1")->currentIndex();
        d->close();
    });
    win.trigger("menuPort");
    QCOMPARE(preselectedAgain, expectedPort - 1);
    QCOMPARE(int(win.state.PortNumber), expectedPort);
    QCOMPARE(child<QLabel>(win.w, "Label7")->text(), Label7Text);
}

// --- clear-all declined -----------------------------------------------------------------

void TestReadout::clearAllDeclined_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("CancelButton") << "cancel";
    QTest::newRow("close box") << "close";
}

void TestReadout::clearAllDeclined()
{
    QFETCH(QString, how);

    Window win;
    QVERIFY(win.show());
    win.fillBusy();
    win.port.receive(Frame00.mid(20)); // the third record completes
    win.cmdFormat()->setText(rddAll);
    const Snapshot before = win.snapshot();
    QCOMPARE(before.frameCount, std::int16_t(3));
    win.port.calls.clear();

    bool sawDialog = false;
    onModal<CLR_ALL>(win.w, [&](CLR_ALL *d) {
        sawDialog = true;
        if (how == "cancel")
            QTest::mouseClick(child<QPushButton>(d, "CancelButton"), Qt::LeftButton);
        else
            d->close();
    });
    win.click("Command2");

    QVERIFY(sawDialog);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(!win.w->findChild<CLR_ALL *>()); // unloaded
    QVERIFY(win.port.calls.isEmpty());
    QVERIFY(win.port.written.isEmpty());
    compareSnapshots(win.snapshot(), before);
}

// --- requests that cannot go out ------------------------------------------------------

void TestReadout::refusedRequest_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("expectedWrites"); // Output calls that were tried

    for (const char *b : {"Command1", "Command4", "Command2"}) {
        QTest::addRow("%s, port closed", b) << b << false << 0;
        QTest::addRow("%s, write fails", b) << b << true << 1;
    }
}

void TestReadout::refusedRequest()
{
    QFETCH(QString, button);
    QFETCH(bool, open);
    QFETCH(int, expectedWrites);

    Window win;
    QVERIFY(win.show());
    win.fillBusy();
    win.cmdFormat()->setText(rddNow);
    win.port.isOpen = open;
    win.port.writeSucceeds = false;
    const Snapshot before = win.snapshot();
    win.port.calls.clear();

    BoxSeen box;
    closeNextMessageBox(win.w, box);
    bool dialogGone = false;
    pressRequest(win, button, &dialogGone);

    QCOMPARE(box.count, 1);
    QCOMPARE(box.title, TitleText);
    QCOMPARE(box.text, portNotOpenWarningText());
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY(dialogGone);
    QCOMPARE(int(win.port.calls.filter("Output=").size()), expectedWrites);
    QVERIFY(win.port.written.isEmpty());
    compareSnapshots(win.snapshot(), before);
    if (QTest::currentTestFailed())
        return;

    // The reply that was arriving goes on where it was.
    win.port.receive(Frame00.mid(20));
    QCOMPARE(win.state.FrameCount, std::int16_t(3));
    QCOMPARE(win.cell(3, 6), QStringLiteral("150"));
}

// --- CSV save dialog ------------------------------------------------------------------

void TestReadout::csvSaveDialog_data()
{
    QTest::addColumn<QString>("typed");   // relative to a fresh folder; empty: cancel
    QTest::addColumn<int>("allFiles");    // pick "全てのファイル (*.*)": 0 no, 1 before typing, 2 after
    QTest::addColumn<QString>("written"); // the file expected, empty: none
    QTest::addColumn<bool>("fails");

    QTest::newRow("typed full path") << "out.csv" << 0 << "out.csv" << false;
    QTest::newRow("bare name gets .csv") << "readout" << 0 << "readout.csv" << false;
    QTest::newRow("bare name with all files") << "readout" << 1 << "readout" << false;
    QTest::newRow("all files picked after typing") << "kept.csv" << 2 << "kept.csv" << false;
    QTest::newRow("cancel") << "" << 0 << "" << false;
    QTest::newRow("target is a folder") << "taken.csv" << 0 << "" << true;
    QTest::newRow("folder missing") << "nowhere/out.csv" << 0 << "" << true;
}

void TestReadout::csvSaveDialog()
{
    QFETCH(QString, typed);
    QFETCH(int, allFiles);
    QFETCH(QString, written);
    QFETCH(bool, fails);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Window win;
    QVERIFY(win.show());
    win.port.isOpen = true;
    win.port.receive(Frame01 + Frame02);
    win.Label5()->setText("COMMAND OK !");
    const Snapshot before = win.snapshot();

    // The dialog exists only while it is shown.
    QVERIFY(!win.w->findChild<QFileDialog *>());

    QStringList filters;
    QString selectedFilter, dialogName, title, acceptText;
    bool typedIn = false, dialogActive = false;
    onModal<QFileDialog>(win.w, [&](QFileDialog *d) {
        dialogName = d->objectName();
        filters = d->nameFilters();
        selectedFilter = d->selectedNameFilter();
        title = d->windowTitle();
        if (auto *buttons = d->findChild<QDialogButtonBox *>())
            if (QPushButton *accept = buttons->button(QDialogButtonBox::Save))
                acceptText = accept->text();
        // The folder appears between the choice and the write, as when another program
        // makes it: the dialog itself would only open a folder typed into it.
        if (QTest::currentDataTag() == QByteArray("target is a folder"))
            connect(d, &QFileDialog::fileSelected, d,
                    [](const QString &path) { QDir().mkpath(path); }, Qt::SingleShotConnection);
        if (typed.isEmpty()) {
            d->reject();
            return;
        }
        // Typing goes by the focus, which the dialog only has once it is the active window.
        dialogActive = QTest::qWaitFor([d] { return d->isActiveWindow(); });
        auto *types = d->findChild<QComboBox *>("fileTypeCombo");
        auto *edit = d->findChild<QLineEdit *>("fileNameEdit");
        if (!types || !edit)
            return;
        auto pickAllFiles = [types] {
            types->setFocus();
            QTest::keyClick(types, Qt::Key_Down); // as the operator picks it
        };
        if (allFiles == 1)
            pickAllFiles();
        typedIn = true;
        edit->setFocus();
        edit->clear();
        QTest::keyClicks(edit, dir.filePath(typed));
        if (allFiles == 2) {
            pickAllFiles();
            edit->setFocus();
        }
        QTest::keyClick(edit, Qt::Key_Return);
        if (d->isVisible()) // Return did not take: leave rather than hang
            d->reject();
    });
    BoxSeen box;
    if (fails)
        closeNextMessageBox(win.w, box);
    win.click("CsvOut");

    QCOMPARE(dialogName, QStringLiteral("CommonDialog1"));
    QCOMPARE(filters, QStringList({"CSV File (*.csv)", "全てのファイル (*.*)"}));
    QCOMPARE(selectedFilter, QStringLiteral("CSV File (*.csv)"));
    // Qt's own texts in Japanese, whatever the system's language.
    QCOMPARE(title, QStringLiteral("名前を付けて保存"));
    QCOMPARE(acceptText, QStringLiteral("保存(&S)"));
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(!win.w->findChild<QFileDialog *>());
    if (!typed.isEmpty()) {
        QVERIFY(dialogActive);
        QVERIFY(typedIn);
    }

    QStringList expectedEntries;
    if (!written.isEmpty())
        expectedEntries << written.section('/', 0, 0);
    if (QTest::currentDataTag() == QByteArray("target is a folder"))
        expectedEntries << "taken.csv";
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), expectedEntries);

    if (!written.isEmpty()) {
        QCOMPARE(fileBytes(dir.filePath(written)),
                 QByteArray("\"1\",\"1\",\"2\",\"3\",\"4\",\"5\",\"15\"\r\n"
                            "\"2\",\"120\",\"0\",\"35\",\"0\",\"4\",\"159\"\r\n"));
    }
    if (fails) {
        QCOMPARE(box.count, 1);
        QCOMPARE(box.title, TitleText);
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY2(box.text.contains(QDir::toNativeSeparators(dir.filePath(typed))),
                 qPrintable(box.text));
    } else {
        QCOMPARE(box.count, 0);
    }
    compareSnapshots(win.snapshot(), before);
}

// Qt's file dialog writes its history into the user's QtProject.conf when it is
// destroyed: a run that never showed the save dialog leaves no such file.
void TestReadout::qtSettingsOnlyAfterSaveDialog()
{
    const QString conf = m_userConfig.filePath(QStringLiteral("QtProject.conf"));
    QFile::remove(conf);
    {
        Window win;
        QVERIFY(win.show());
        win.click("Command3");
    }
    QVERIFY(!QFile::exists(conf));
    {
        Window win;
        QVERIFY(win.show());
        onModal<QFileDialog>(win.w, [](QFileDialog *d) { d->reject(); });
        win.click("CsvOut");
    }
    QVERIFY(QFile::exists(conf)); // what remains: written once the dialog was shown
}

QTEST_MAIN(TestReadout)
#include "test_readout.moc"
