#include "app_identity.h"
#include "frm_splash.h"
#include "paint_pacer.h"
#include "startup.h"
#include "test_support.h"
#include "window_support.h"

#include <QAccessible>
#include <QClipboard>
#include <QMenu>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QTableView>
#include <QtTest>

#include <stdexcept>

namespace {

const QStringList FirstOpen = {"CommPort=1", "Settings=9600,n,8,1", "PortOpen=1", "RTS=1"};

const QByteArray Frame07 = dataFrame(7, {120, 5, 0, 99999, 1});
const QByteArray Frame08 = dataFrame(8, {1, 2, 3, 4, 5});

QStringList visibleTopLevelNames()
{
    QStringList names;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            names << w->objectName();
    names.sort();
    return names;
}

// What a splash run saw, recorded inside the modal loop and checked afterwards.
struct SplashRun
{
    int portCallsBefore = -1;
    QStringList visibleWhileUp;
    QString label7WhileUp;
    int gridRowsWhileUp = -1;
    int finished = 0;
    int result = -1;
    bool timerActiveAfter = true;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void splashClosesAndLoadingResumes_data();
    void splashClosesAndLoadingResumes();
    void splashIgnoresOtherInput();
    void splashLayout();

    void startupWithFailures();
    void startupProcedure();
    void initialState();
    void tabOrder();
    void layout_data();
    void layout();
    void windowFrameAndMenu();
    void versionMessage();
    void receiveHandler();
    void clrButton();
    void requestViewMembers();
    void closingReleasesPortOnce_data();
    void closingReleasesPortOnce();

    void rawTextBoxMapping_data();
    void rawTextBoxMapping();
    void rawTextBoxLongText();
    void rawTextBoxShowsTail();
    void rawTextBoxPaintsEveryBurst();
    void paintPacerHoldsPaintsWhileCharactersCome_data();
    void paintPacerHoldsPaintsWhileCharactersCome();
    void rawTextBoxKeys_data();
    void rawTextBoxKeys();
    void rawTextBoxViewFollowsCursor();
    void rawTextBoxMouseAndMenu();
};

void TestMainWindow::initTestCase()
{
    setupApplication();
}

// --- splash window --------------------------------------------------------------

using SplashAction = std::function<void(frmSplash *)>;

static SplashAction clickOn(const char *name)
{
    return [name](frmSplash *s) {
        QWidget *w = child<QWidget>(s, name);
        if (w)
            QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
    };
}

static SplashAction keyPress(Qt::Key key, char ascii = 0)
{
    return [key, ascii](frmSplash *s) {
        if (ascii)
            QTest::keyClick(s, ascii);
        else
            QTest::keyClick(s, key);
    };
}

void TestMainWindow::splashClosesAndLoadingResumes_data()
{
    QTest::addColumn<SplashAction>("action");
    QTest::newRow("timer") << SplashAction();
    QTest::newRow("key a") << keyPress(Qt::Key_A, 'a');
    QTest::newRow("Enter") << keyPress(Qt::Key_Return);
    QTest::newRow("Escape") << keyPress(Qt::Key_Escape);
    QTest::newRow("Backspace") << keyPress(Qt::Key_Backspace);
    QTest::newRow("click Frame1") << clickOn("Frame1");
    QTest::newRow("click imgLogo") << clickOn("imgLogo");
    QTest::newRow("click picIcon") << clickOn("picIcon");
    QTest::newRow("click lblPlatform") << clickOn("lblPlatform");
    QTest::newRow("click lblProductName") << clickOn("lblProductName");
}

void TestMainWindow::splashClosesAndLoadingResumes()
{
    QFETCH(SplashAction, action);

    Module1 state;
    FakeCommControl port;
    SplashRun run;
    auto runner = [&] {
        run.portCallsBefore = int(port.calls.size());
        QTimer::singleShot(50, [&] {
            auto *splash = qobject_cast<frmSplash *>(QApplication::activeModalWidget());
            if (!splash)
                return;
            run.visibleWhileUp = visibleTopLevelNames();
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *label = w->findChild<QLabel *>("Label7"))
                    run.label7WhileUp = label->text();
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *grid = w->findChild<QTableView *>("QztData"))
                    run.gridRowsWhileUp = grid->model()->rowCount();
            QObject::connect(splash, &QDialog::finished, [&](int r) {
                ++run.finished;
                run.result = r;
            });
            QTimer *timer = splash->findChild<QTimer *>("Timer1");
            if (action) {
                action(splash);
                action(splash); // a second key or click does nothing more
                Q_ASSERT(timer);
                run.timerActiveAfter = timer->isActive();
            } else {
                QObject::connect(splash, &QDialog::finished,
                                 [&, timer] { run.timerActiveAfter = timer->isActive(); });
            }
        });
        showSplashModal();
    };
    frmMain w(state, port, runner);

    // Steps before the splash ran first; the port was untouched while it was up.
    QCOMPARE(run.portCallsBefore, 0);
    QCOMPARE(run.visibleWhileUp, QStringList{"frmSplash"});
    QCOMPARE(run.label7WhileUp, QStringLiteral("COM 1 : 9600,n,8,1"));
    QCOMPARE(run.gridRowsWhileUp, 101);
    // Closed exactly once, with its timer stopped; loading then went on to the port.
    QCOMPARE(run.finished, 1);
    QCOMPARE(run.result, int(QDialog::Accepted));
    QVERIFY(!run.timerActiveAfter);
    QCOMPARE(port.calls, FirstOpen);
    QCOMPARE(state.PortNumber, std::int16_t(1));
    QVERIFY(!w.isVisible());
}

void TestMainWindow::splashIgnoresOtherInput()
{
    frmSplash splash;
    int finished = 0;
    connect(&splash, &QDialog::finished, [&] { ++finished; });
    splash.show();
    QVERIFY(QTest::qWaitForWindowExposed(&splash));

    QTest::keyClick(&splash, Qt::Key_Shift);
    QTest::keyClick(&splash, Qt::Key_Left);
    QTest::keyClick(&splash, Qt::Key_Down);
    QTest::keyClick(&splash, Qt::Key_F1);
    QTest::keyClick(&splash, Qt::Key_F5);
    QTest::mouseClick(&splash, Qt::LeftButton, {}, QPoint(3, 3));     // margin outside Frame1
    QTest::mouseClick(&splash, Qt::LeftButton, {}, QPoint(476, 322)); // and the other corner
    QCOMPARE(finished, 0);
    QVERIFY(splash.isVisible());
    QVERIFY(splash.findChild<QTimer *>("Timer1")->isActive());

    // The timer still closes it.
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 10000);
    QVERIFY(!splash.isVisible());
    QVERIFY(!splash.findChild<QTimer *>("Timer1")->isActive());
}

void TestMainWindow::splashLayout()
{
    frmSplash splash;
    splash.show();
    QVERIFY(QTest::qWaitForWindowExposed(&splash));

    // The client area of 480 x 326 inside a fixed dialog frame of three pixels: a
    // raised edge, then the face colour; no title bar.
    QCOMPARE(child<QWidget>(&splash, "clientArea")->geometry(), QRect(3, 3, 480, 326));
    QCOMPARE(splash.size(), QSize(486, 332));
    const QImage shot = splash.grab().toImage();
    const QPalette system = QApplication::palette();
    QCOMPARE(shot.pixel(0, 100), system.color(QPalette::Light).rgb());
    QCOMPARE(shot.pixel(100, 331), system.color(QPalette::Shadow).rgb());
    QCOMPARE(shot.pixel(2, 100), system.color(QPalette::Button).rgb());
    QCOMPARE(shot.pixel(483, 100), system.color(QPalette::Button).rgb());
    QCOMPARE(shot.pixel(3, 100), qRgb(192, 255, 255));
    QCOMPARE(splash.windowFlags() & Qt::WindowType_Mask, Qt::SplashScreen);
    QVERIFY(splash.windowTitle().isEmpty());
    QCOMPARE(splash.palette().color(QPalette::Window), QColor(192, 255, 255));

    auto *frame = child<QFrame>(&splash, "Frame1");
    QVERIFY(frame);
    QCOMPARE(frame->geometry(), QRect(8, 8, 464, 310));
    QCOMPARE(frame->palette().color(QPalette::Window), QColor(192, 255, 255));

    auto *title = child<QLabel>(&splash, "lblProductName");
    QCOMPARE(title->text(), QStringLiteral("QZ-7310 TALVEN SOFTWARE"));
    QCOMPARE(title->font().family(), QStringLiteral("Arial Black"));
    QCOMPARE(title->font().pointSize(), 18);
    QVERIFY(title->font().bold());
    QCOMPARE(title->size(), title->sizeHint()); // sized to its text
    QCOMPARE(title->pos(), QPoint(8, 24));

    auto *platform = child<QLabel>(&splash, "lblPlatform");
    QCOMPARE(platform->text(), QStringLiteral("For Win98/2000/XP"));
    QCOMPARE(platform->font().pointSize(), 12);
    QVERIFY(platform->alignment() & Qt::AlignRight);

    auto *version = child<QLabel>(&splash, "lblVersion");
    QCOMPARE(version->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ 0.9.2"));
    QCOMPARE(version->font().family(), QStringLiteral("ＭＳ Ｐゴシック"));
    QVERIFY(!version->isVisible());

    auto *logo = child<QLabel>(&splash, "imgLogo");
    QCOMPARE(logo->geometry(), QRect(152, 104, 162, 122));
    QVERIFY(logo->hasScaledContents());
    QVERIFY(!logo->pixmap().isNull());

    auto *pic = child<QLabel>(&splash, "picIcon");
    QCOMPARE(pic->geometry(), QRect(88, 256, 268, 44));
    QCOMPARE(pic->pixmap().size(), QSize(276, 52));
    QVERIFY(!pic->hasScaledContents());

    auto *timer = splash.findChild<QTimer *>("Timer1");
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), 2500);

    // Centred on the screen.
    const QRect screen = splash.screen()->availableGeometry();
    QVERIFY(qAbs(splash.frameGeometry().center().x() - screen.center().x()) <= 4);
    QVERIFY(qAbs(splash.frameGeometry().center().y() - screen.center().y()) <= 4);
    splash.close();
}

// --- start-up -----------------------------------------------------------------

void TestMainWindow::startupWithFailures()
{
    {
        // A failing step is skipped silently; the rest of the load still runs.
        Module1 state;
        FakeCommControl port;
        frmMain w(state, port, [] { throw std::runtime_error("no splash"); });
        QCOMPARE(port.calls, FirstOpen);
        QCOMPARE(child<QLabel>(&w, "Label7")->text(), QStringLiteral("COM 1 : 9600,n,8,1"));
        QCOMPARE(w.counterTable().rowCount(), 101);
    }
    {
        // COM1 cannot be opened: the window still comes up, with the port closed.
        Module1 state;
        FakeCommControl port;
        port.openSucceeds = false;
        frmMain w(state, port, [] {});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!port.portOpen());
        QCOMPARE(port.calls, FirstOpen);
        QCOMPARE(state.PortNumber, std::int16_t(1));
    }
}

// What a modal window was, and what the port had been told, when it came up.
struct ModalSeen
{
    QString className;
    QWidget *parent = nullptr;
    QStringList visibleUnder;
    QStringList portCallsWhileUp;
};

void closeNextModal(QObject *scope, const FakeCommControl &port, ModalSeen &seen)
{
    onModal<QWidget>(scope, [&port, &seen](QWidget *modal) {
        seen.className = QString::fromLatin1(modal->metaObject()->className());
        seen.parent = modal->parentWidget();
        seen.visibleUnder = visibleTopLevelNames();
        seen.portCallsWhileUp = port.calls;
        modal->close();
    });
}

void TestMainWindow::startupProcedure()
{
    Module1 state;
    FakeCommControl port;
    QObject scope;
    ModalSeen dialog;
    closeNextModal(&scope, port, dialog);
    const auto w = Main(state, port, [] {});

    // The main window is up, then the port dialog comes modally over it, with COM1
    // already open and RTS dropped while it is up.
    QVERIFY(w);
    QVERIFY(w->isVisible());
    QCOMPARE(dialog.className, QStringLiteral("frmPORT"));
    QCOMPARE(dialog.parent, w.get());
    QVERIFY(dialog.visibleUnder.contains("frmMain"));
    QCOMPARE(dialog.portCallsWhileUp, FirstOpen + QStringList{"RTS=0"});
    // Closing the dialog reopened the same port and raised RTS again.
    QCOMPARE(port.calls, FirstOpen + portDialogCalls(1));
    QVERIFY(port.portOpen());
    QCOMPARE(state.PortNumber, std::int16_t(1));

    // The menu shows the same dialog again.
    port.calls.clear();
    ModalSeen again;
    closeNextModal(&scope, port, again);
    child<QAction>(w.get(), "menuPort")->trigger();
    QCOMPARE(again.className, QStringLiteral("frmPORT"));
    QCOMPARE(port.calls, portDialogCalls(1));
    w->close();
}

void TestMainWindow::initialState()
{
    ScriptedMain win;
    QVERIFY(win.activate());

    for (const char *name : {"cmdFormat", "txtRx"}) {
        auto *box = child<RawTextBox>(win.w, name);
        QVERIFY2(box, name);
        QVERIFY2(box->text().isEmpty(), name);
        // Out of the tab order, but a click focuses it.
        QCOMPARE(box->focusPolicy(), Qt::ClickFocus);
    }
    QVERIFY(win.Label5()->text().isEmpty());
    QVERIFY(child<QLineEdit>(win.w, "FileName")->text().isEmpty());
    QCOMPARE(child<QLineEdit>(win.w, "FileName")->focusPolicy(), Qt::NoFocus);
    QCOMPARE(child<QLabel>(win.w, "Label7")->text(), QStringLiteral("COM 1 : 9600,n,8,1"));
    QCOMPARE(win.w->QztTxRx().objectName(), QStringLiteral("QztTxRx"));

    // The grid: headings only.
    auto *grid = child<QTableView>(win.w, "QztData");
    QCOMPARE(grid->model(), &win.w->counterTable());
    QCOMPARE(grid->model()->rowCount(), 101);
    QCOMPARE(grid->model()->columnCount(), 7);
    QVERIFY(grid->isRowHidden(0));
    QVERIFY(!grid->isRowHidden(1));
    QVERIFY(!grid->verticalHeader()->isVisible());
    QVERIFY(grid->horizontalHeader()->isVisible());
    const QStringList headings = {"No.", "CNTR1", "CNTR2", "CNTR3", "CNTR4", "CNTR5", "TOTAL"};
    const QList<int> widths = {44, 53, 53, 53, 53, 53, 70};
    for (int c = 0; c < 7; ++c) {
        QCOMPARE(grid->model()->headerData(c, Qt::Horizontal).toString(), headings[c]);
        QCOMPARE(grid->columnWidth(c), widths[c]);
        for (int r = 1; r <= 100; ++r)
            QVERIFY(win.cell(r, c).isEmpty());
    }
    QCOMPARE(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(grid->font().family(), QStringLiteral("Arial"));
    QCOMPARE(grid->font().pointSize(), 9);

    QCOMPARE(QApplication::focusWidget(), child<QWidget>(win.w, "Command1"));
    for (const char *name : {"Label7", "Label6", "FileName"}) {
        QVERIFY2(!child<QWidget>(win.w, name)->isVisible(), name);
        QVERIFY2(child<QWidget>(win.w, name)->isHidden(), name);
    }
}

void TestMainWindow::tabOrder()
{
    ScriptedMain win;
    QVERIFY(win.activate());
    QCOMPARE(QApplication::focusWidget(), child<QWidget>(win.w, "Command1"));

    QStringList visited;
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, (QStringList{"Command4", "Command2", "CsvOut", "Command3", "QztData",
                                   "Command1"}));
}

void TestMainWindow::layout_data()
{
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("fontFamily");
    QTest::addColumn<bool>("shown");

    const QString P = QStringLiteral("ＭＳ Ｐゴシック");
    const QString A = QStringLiteral("Arial");
    QTest::newRow("Title1") << "centralwidget" << QRect(16, 16, 385, 33) << A << true;
    QTest::newRow("Command1") << "centralwidget" << QRect(24, 88, 177, 33) << P << true;
    QTest::newRow("Command4") << "centralwidget" << QRect(24, 152, 177, 33) << P << true;
    QTest::newRow("Command2") << "centralwidget" << QRect(224, 152, 161, 33) << P << true;
    QTest::newRow("Label1") << "centralwidget" << QRect(16, 240, 121, 17) << A << true;
    QTest::newRow("cmdFormat") << "centralwidget" << QRect(16, 256, 369, 25) << A << true;
    QTest::newRow("Label2") << "centralwidget" << QRect(16, 304, 129, 17) << A << true;
    QTest::newRow("txtRx") << "centralwidget" << QRect(16, 320, 369, 25) << A << true;
    QTest::newRow("Label5") << "centralwidget" << QRect(24, 352, 121, 17) << A << true;
    QTest::newRow("Label7") << "centralwidget" << QRect(296, 392, 105, 17) << A << false;
    QTest::newRow("Frame3") << "centralwidget" << QRect(416, 24, 433, 385) << A << true;
    QTest::newRow("QztData") << "Frame3" << QRect(16, 24, 401, 289) << A << true;
    QTest::newRow("Command3") << "Frame3" << QRect(360, 316, 57, 25) << A << true;
    QTest::newRow("Label6") << "Frame3" << QRect(16, 328, 273, 17) << A << false;
    QTest::newRow("FileName") << "Frame3" << QRect(16, 344, 169, 25)
                              << QStringLiteral("ＭＳ ゴシック") << false;
    QTest::newRow("CsvOut") << "Frame3" << QRect(272, 344, 145, 25) << P << true;
}

void TestMainWindow::layout()
{
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, fontFamily);
    QFETCH(bool, shown);

    ScriptedMain win;
    QVERIFY(win.show());

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QWidget *c = win.w->findChild<QWidget *>(name);
    QVERIFY(c);
    QCOMPARE(c->parentWidget()->objectName(), parentName);
    QCOMPARE(c->geometry(), geometry);
    QCOMPARE(c->font().family(), fontFamily);
    QCOMPARE(c->isVisible(), shown);
}

void TestMainWindow::windowFrameAndMenu()
{
    ScriptedMain win;
    QVERIFY(win.show());
    frmMain &w = win.window;

    QCOMPARE(w.objectName(), QStringLiteral("frmMain"));
    QCOMPARE(w.windowTitle(), QStringLiteral("QZ-7310 TALVEN SOFTWARE"));
    QCOMPARE(w.centralWidget()->size(), QSize(858, 419));
    QCOMPARE(w.centralWidget()->pos().y(), w.menuBar()->height());
    QCOMPARE(w.size(), QSize(858, 419 + w.menuBar()->height()));
    QCOMPARE(w.minimumSize(), w.maximumSize()); // cannot be resized
    const Qt::WindowFlags flags = w.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!w.windowIcon().isNull());
    QCOMPARE(w.windowIcon().availableSizes().value(0), QSize(32, 32));
    QCOMPARE(w.centralWidget()->palette().color(QPalette::Window), QColor(176, 253, 253));
    QCOMPARE(child<QWidget>(&w, "Frame3")->palette().color(QPalette::Window),
             QColor(176, 253, 253));
    QCOMPARE(w.font().family(), QStringLiteral("Arial"));
    QCOMPARE(w.font().pointSize(), 9);
    QCOMPARE(child<QGroupBox>(&w, "Frame3")->title(), QStringLiteral("CSV"));
    QCOMPARE(child<QLabel>(&w, "Title1")->text(), QStringLiteral("QZ-7310  TALVEN SOFTWARE"));
    QCOMPARE(child<QLabel>(&w, "Title1")->font().pointSizeF(), 15.75);

    const QStringList captions = {"ﾎﾟｰﾄ選択(&P)", "ﾊﾞｰｼﾞｮﾝ情報(&A)", "終了(&Z)"};
    const QStringList names = {"menuPort", "MenuAbout", "menuFin"};
    const QList<QAction *> items = w.menuBar()->actions();
    QCOMPARE(items.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(items[i]->objectName(), names[i]);
        QCOMPARE(items[i]->text(), captions[i]);
        QVERIFY(!items[i]->menu()); // acts on its own click, no submenu
    }

    // The stand-in fonts are really in use.
    QCOMPARE(QFontInfo(child<QWidget>(&w, "Command1")->font()).family(), QStringLiteral("IPAPGothic"));
    QCOMPARE(QFontInfo(child<QWidget>(&w, "FileName")->font()).family(), QStringLiteral("IPAGothic"));
    QCOMPARE(QFontInfo(w.font()).family(), QStringLiteral("Liberation Sans"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("QZ-7310 TALVEN SOFTWARE"));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("0.9.2"));

    // Centred (within the width of the window frame).
    const QRect screen = w.screen()->availableGeometry();
    QVERIFY(qAbs(w.frameGeometry().center().x() - screen.center().x()) <= 4);
    QVERIFY(qAbs(w.frameGeometry().center().y() - screen.center().y()) <= 4);
}

void TestMainWindow::versionMessage()
{
    ScriptedMain win;
    QVERIFY(win.show());

    BoxSeen box;
    closeNextMessageBox(win.w, box);
    win.trigger("MenuAbout");

    QCOMPARE(box.count, 1);
    QCOMPARE(box.text, QStringLiteral("QZ-7310 TALVEN SOFTWARE\r      ﾊﾞｰｼﾞｮﾝ 0.9.2"));
    const QStringList lines = box.text.split(QLatin1Char('\r'));
    QCOMPARE(lines.size(), 2);
    QVERIFY(!box.text.contains(QLatin1Char('\n')));
    QVERIFY(lines[1].startsWith(QStringLiteral("      ﾊ")));
    QCOMPARE(box.title, QStringLiteral("QZ-7310 TALVEN SOFTWARE"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);
    QCOMPARE(box.format, Qt::PlainText);
    QCOMPARE(box.buttons, 1);
    QCOMPARE(box.standardButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // Nothing else changed.
    QCOMPARE(win.port.calls, FirstOpen);
    QVERIFY(win.w->isVisible());
}

// --- receiving ----------------------------------------------------------------

void TestMainWindow::receiveHandler()
{
    ScriptedMain win;
    QVERIFY(win.show());
    auto *rx = win.txtRx();
    auto *status = win.Label5();
    auto *grid = child<QTableView>(win.w, "QztData");
    QCOMPARE(Frame07.size(), 42);

    // Garbage before the frame is logged raw but opens nothing.
    const QByteArray noise("\x00\xff\x7fz", 4);
    win.port.receive(noise + Frame07);
    QCOMPARE(rx->text(), noise + Frame07);
    QCOMPARE(status->text(), QStringLiteral("COMMAND OK !"));
    QCOMPARE(win.state.FrameCount, std::int16_t(1));
    const QStringList row1 = {"7", "120", "5", "0", "99999", "1", "100125"};
    for (int c = 0; c < 7; ++c)
        QCOMPARE(grid->model()->index(1, c).data().toString(), row1[c]);

    const QByteArray ack("\x06\r", 2);
    win.port.receive(ack);
    QCOMPARE(status->text(), QStringLiteral("COMMAND OK!"));
    QCOMPARE(rx->text(), noise + Frame07 + ack);

    // A notification that is not a receipt of characters changes nothing.
    win.port.otherEvent(CommControl::EventErrorBase);
    win.port.otherEvent(1);
    QCOMPARE(rx->text(), noise + Frame07 + ack);
    QCOMPARE(status->text(), QStringLiteral("COMMAND OK!"));
    QCOMPARE(win.state.FrameCount, std::int16_t(1));
    QCOMPARE(win.state.PendingLength, std::int16_t(0));

    win.port.receive(Frame08);
    QCOMPARE(grid->model()->index(2, 6).data().toString(), QStringLiteral("15"));
    QCOMPARE(win.state.FrameStore[1], Frame08);
    for (const char *name : {"Label7", "Label6", "FileName"})
        QVERIFY2(!child<QWidget>(win.w, name)->isVisible(), name);
}

void TestMainWindow::clrButton()
{
    ScriptedMain win;
    QVERIFY(win.show());
    win.port.receive(Frame07 + Frame08);
    const QByteArray log = win.txtRx()->text();

    win.click("Command3");
    for (int r = 1; r <= 2; ++r)
        for (int c = 0; c < 7; ++c)
            QVERIFY(win.cell(r, c).isEmpty());
    QVERIFY(win.Label5()->text().isEmpty());
    QCOMPARE(win.state.FrameCount, std::int16_t(2)); // kept: the next frame goes to row 3
    QCOMPARE(win.txtRx()->text(), log);

    win.port.receive(Frame07);
    QCOMPARE(win.cell(3, 0), QStringLiteral("7"));
    QVERIFY(win.cell(1, 0).isEmpty());
}

void TestMainWindow::requestViewMembers()
{
    ScriptedMain win;
    QVERIFY(win.show());
    RequestView &view = win.window;

    const QByteArray command("\x02RDD ALL\x03\r");
    view.setTransmitText(command);
    QCOMPARE(view.transmitText(), command);
    QCOMPARE(win.cmdFormat()->text(), command);

    win.port.receive(Frame07);
    view.clearReceiveLog();
    QVERIFY(win.txtRx()->text().isEmpty());
    QCOMPARE(win.cell(1, 0), QStringLiteral("7"));
    const RecordsAndStatus saved = view.recordsAndStatus();
    QCOMPARE(saved.records[0][6], QStringLiteral("100125"));
    QCOMPARE(saved.status, QStringLiteral("COMMAND OK !"));
    view.clearRecordsAndStatus();
    QVERIFY(win.cell(1, 0).isEmpty());
    QVERIFY(win.Label5()->text().isEmpty());
    view.restoreRecordsAndStatus(saved);
    QCOMPARE(win.cell(1, 6), QStringLiteral("100125"));
    QCOMPARE(win.Label5()->text(), QStringLiteral("COMMAND OK !"));

    BoxSeen box;
    closeNextMessageBox(win.w, box);
    PortFailure lost;
    lost.kind = PortFailure::Kind::Lost;
    lost.device = QStringLiteral("/dev/ttyUSB0");
    const QString warning = portNotOpenWarningText(lost, 1);
    view.warnPortNotOpen(warning);
    QCOMPARE(box.count, 1);
    QCOMPARE(box.title, QStringLiteral("QZ-7310 TALVEN SOFTWARE"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.text, warning);
}

void TestMainWindow::closingReleasesPortOnce_data()
{
    QTest::addColumn<bool>("viaMenu");
    QTest::newRow("終了 menu") << true;
    QTest::newRow("close button") << false;
}

void TestMainWindow::closingReleasesPortOnce()
{
    QFETCH(bool, viaMenu);
    ScriptedMain win;
    QVERIFY(win.show());
    QVERIFY(win.w->testAttribute(Qt::WA_QuitOnClose));
    win.port.calls.clear();

    if (viaMenu)
        win.trigger("menuFin");
    else
        QVERIFY(win.w->close());
    QVERIFY(!win.w->isVisible());
    QCOMPARE(win.port.calls, (QStringList{"RTS=0", "PortOpen=0"}));
    QVERIFY(!win.port.portOpen());

    // A second close finds the port released already.
    win.w->close();
    win.trigger("menuFin");
    QCOMPARE(win.port.calls, (QStringList{"RTS=0", "PortOpen=0"}));
}

// --- the raw text box ---------------------------------------------------------

void TestMainWindow::rawTextBoxMapping_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("readable");

    QTest::newRow("command") << QByteArray("\x02RDD ALL\x03\r")
                             << QStringLiteral("\u2402RDD ALL\u2403\u240D")
                             << QStringLiteral("\u0002RDD ALL\u0003\r");
    QTest::newRow("NUL and US") << QByteArray("\x00\x1f", 2) << QStringLiteral("\u2400\u241F")
                                << QString(QChar(0)) + QChar(0x1F);
    QTest::newRow("DEL") << QByteArray("\x7f") << QStringLiteral("\u2421") << QStringLiteral("\u007F");
    QTest::newRow("katakana edges") << QByteArray("\xa1\xb1\xdf")
                                    << QStringLiteral("｡ｱﾟ") << QStringLiteral("｡ｱﾟ");
    QTest::newRow("other high bytes") << QByteArray("\x80\xa0\xe0\xff")
                                      << QStringLiteral("\uFFFD\uFFFD\uFFFD\uFFFD")
                                      << QStringLiteral("\uFFFD\uFFFD\uFFFD\uFFFD");
    QTest::newRow("blank kept") << QByteArray(" a ") << QStringLiteral(" a ") << QStringLiteral(" a ");
}

void TestMainWindow::rawTextBoxMapping()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QFETCH(QString, readable);

    QCOMPARE(RawTextBox::displayText(bytes), shown);

    RawTextBox box;
    for (char c : bytes)
        box.append(c);
    QCOMPARE(box.text(), bytes);
    QAccessibleInterface *acc = QAccessible::queryAccessibleInterface(&box);
    QVERIFY(acc);
    QCOMPARE(acc->role(), QAccessible::EditableText);
    QCOMPARE(acc->text(QAccessible::Value), readable);
    QVERIFY(acc->textInterface());
    QCOMPARE(acc->textInterface()->characterCount(), int(bytes.size()));
    QCOMPARE(acc->textInterface()->text(0, int(bytes.size())), readable);
}

void TestMainWindow::rawTextBoxLongText()
{
    RawTextBox box;
    box.resize(369, 25);
    box.show();
    QByteArray expected;
    expected.reserve(1000000);
    for (int i = 0; i < 1000000; ++i) {
        const char c = char((i * 7) & 0xFF);
        box.append(c);
        expected.append(c);
        if (i % 100000 == 0)
            QCoreApplication::processEvents(); // let it paint now and then
    }
    QCOMPARE(box.size(), qsizetype(1000000));
    QVERIFY(box.text() == expected);
    box.setText("abc");
    QCOMPARE(box.text(), QByteArray("abc"));
    box.clear();
    QVERIFY(box.text().isEmpty());

    // Past its maximum the box keeps the newest bytes, dropping the older half; a
    // selection stays on the bytes it was on.
    // The view, scrolled back there, stays on the same characters.
    box.setMaximumBytes(1024);
    box.setText(expected.left(1024));
    box.setSelection(600, 100);
    const QImage shown = box.grab().toImage();
    box.append(expected.at(1024));
    QCOMPARE(box.grab().toImage(), shown);
    QCOMPARE(box.size(), qsizetype(512 + 1));
    QVERIFY(box.text() == expected.mid(512, 513));
    QCOMPARE(box.selectionStart(), qsizetype(600 - 512));
    QVERIFY(box.selectedBytes() == expected.mid(600, 100));
    for (int i = 1025; i < 1536; ++i)
        box.append(expected.at(i));
    QVERIFY(box.text() == expected.mid(512, 1024));
    box.append(expected.at(1536));
    QVERIFY(box.text() == expected.mid(1024, 513));
    box.setText(expected.left(5000));
    QVERIFY(box.text() == expected.mid(5000 - 1024, 1024));
}

void TestMainWindow::rawTextBoxShowsTail()
{
    // With more text than fits, only the most recent characters are drawn: two boxes
    // whose texts differ only at the start look the same.
    QByteArray tail;
    for (int i = 0; i < 120; ++i)
        tail += "0123456789\x02\r"[i % 12];
    RawTextBox a, b, shortBox;
    for (RawTextBox *box : {&a, &b, &shortBox})
        box->resize(369, 25);
    a.setText(QByteArray(5000, 'A') + tail);
    b.setText(QByteArray(3, 'W') + QByteArray(20000, 'b') + tail);
    shortBox.setText("12");
    const QImage ia = a.grab().toImage();
    QCOMPARE(ia, b.grab().toImage());
    QVERIFY(ia != shortBox.grab().toImage());

    RawTextBox empty;
    empty.resize(369, 25);
    QVERIFY(shortBox.grab().toImage() != empty.grab().toImage());
}

namespace {
// Remembers what the box held at each paint it really received.
class PaintSpy : public QObject
{
public:
    explicit PaintSpy(RawTextBox *box)
        : m_box(box)
    {
        box->installEventFilter(this);
    }
    int paints = 0;
    QByteArray painted;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint) {
            ++paints;
            painted = m_box->text();
        }
        return false;
    }

private:
    RawTextBox *m_box;
};
} // namespace

void TestMainWindow::rawTextBoxPaintsEveryBurst()
{
    // A burst of appends asks for one repaint; whatever comes after that paint must
    // ask again, so the screen never stays behind the text.
    RawTextBox box;
    box.resize(369, 25);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    PaintSpy spy(&box);
    for (int burst = 1; burst <= 4; ++burst) {
        const int before = spy.paints;
        for (int i = 0; i < 40 * burst; ++i)
            box.append(char('A' + (i * burst) % 26));
        QTRY_COMPARE(spy.painted, box.text());
        QVERIFY(spy.paints > before);
    }
    box.append('\x02'); // a single character after a paint
    QTRY_COMPARE(spy.painted, box.text());

    // Appended while hidden: showing the box again paints the latest text, and the
    // next character still gets its own repaint.
    box.hide();
    box.append('h');
    box.show();
    QTRY_COMPARE(spy.painted, box.text());
    box.append('\r');
    QTRY_COMPARE(spy.painted, box.text());

    box.clear();
    QTRY_COMPARE(spy.painted, QByteArray());
    box.append('z');
    QTRY_COMPARE(spy.painted, QByteArray("z"));
}

void TestMainWindow::paintPacerHoldsPaintsWhileCharactersCome_data()
{
    QTest::addColumn<bool>("paced");
    QTest::addColumn<int>("characters");
    QTest::newRow("paced, as on a display") << true << 200;
    QTest::newRow("not paced, as offscreen") << false << 200;
    // The first is painted at once; the second, right after that paint, is held back
    // with no later character to arm the pacer's timer.
    QTest::newRow("paced, two characters") << true << 2;
}

void TestMainWindow::paintPacerHoldsPaintsWhileCharactersCome()
{
    // Characters one at a time, each followed by the event loop's update request, as
    // a line handing over one byte at a time gives them.
    QFETCH(bool, paced);
    QFETCH(int, characters);
    QWidget window;
    auto *box = new RawTextBox(&window);
    box->setGeometry(10, 10, 369, 25);
    window.resize(400, 50);
    PaintPacer pacer(&window, paced);
    QVERIFY(!PaintPacer::presentsOnDisplay()); // offscreen: the window does not pace
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(!pacer.isHolding());
    PaintSpy spy(box);
    QTest::qWait(pacer.frameMs()); // a quiet line: the first character goes out at once

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < characters; ++i) {
        box->append(char('A' + i % 26));
        pacer.characterHandled();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        QCOMPARE(box->text().size(), i + 1); // the text itself never waits
    }
    const qint64 elapsed = clock.elapsed();
    if (paced) {
        // At most one paint a display frame while they come.
        QVERIFY2(spy.paints <= 1 + elapsed / pacer.frameMs(), qPrintable(QString::number(spy.paints)));
    } else {
        QCOMPARE(spy.paints, characters);
    }
    // The last character reaches the screen within a display frame, and then nothing
    // is left running. Timers fire in the order they fall due, so what was painted when
    // a frame's timer fires does not depend on how late the event loop gets to it.
    QByteArray paintedInFrame;
    bool frameOver = false;
    QTimer::singleShot(pacer.frameMs(), Qt::PreciseTimer, [&] {
        paintedInFrame = spy.painted;
        frameOver = true;
    });
    QTRY_VERIFY(frameOver);
    QCOMPARE(paintedInFrame, box->text());
    QVERIFY(!pacer.isHolding());

    // A paint for anything else goes out at once while nothing waits to be shown.
    const int before = spy.paints;
    box->update();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    QCOMPARE(spy.paints, before + 1);
}

void TestMainWindow::rawTextBoxKeys_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<int>("selStart");
    QTest::addColumn<int>("selEnd");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<QString>("copied"); // after Ctrl+C

    // The text: STX "RDD ALL" ETX CR, as a request leaves it in cmdFormat.
    const QString all = QStringLiteral("\u0002RDD ALL\u0003\r");
    QTest::newRow("Ctrl+A, raw characters") << QStringList{"Ctrl+A"} << 0 << 10 << 10 << all;
    QTest::newRow("Home, Shift+Right") << QStringList{"Home", "Shift+Right", "Shift+Right", "Shift+Right"}
                                       << 0 << 3 << 3 << QStringLiteral("\u0002RD");
    QTest::newRow("Shift+Left from the end") << QStringList{"Shift+Left", "Shift+Left"} << 8 << 10 << 8
                                             << QStringLiteral("\u0003\r");
    QTest::newRow("Shift+Home") << QStringList{"Left", "Shift+Home"} << 0 << 9 << 0
                                << all.left(9);
    QTest::newRow("Home, Right, Shift+End") << QStringList{"Home", "Right", "Shift+End"} << 1 << 10
                                            << 10 << all.mid(1);
    QTest::newRow("words") << QStringList{"Home", "Ctrl+Right", "Ctrl+Right", "Ctrl+Shift+Right"}
                           << 5 << 10 << 10 << all.mid(5);
    QTest::newRow("Ctrl+Left") << QStringList{"Ctrl+Left", "Ctrl+Shift+Left"} << 1 << 5 << 1
                               << QStringLiteral("RDD ");
    QTest::newRow("Left leaves a selection") << QStringList{"Ctrl+A", "Left", "Shift+Right"} << 0 << 1
                                             << 1 << all.left(1);
    QTest::newRow("editing keys change nothing")
        << QStringList{"Home", "Shift+Right", "X", "Backspace", "Delete", "Ctrl+V", "Ctrl+X", "Ctrl+Z", "Return"}
        << 0 << 1 << 1 << all.left(1);
    QTest::newRow("no selection, nothing copied") << QStringList{"Home", "Right"} << 1 << 1 << 1
                                                  << QStringLiteral("(kept)");
}

void TestMainWindow::rawTextBoxKeys()
{
    QFETCH(QStringList, keys);
    QFETCH(int, selStart);
    QFETCH(int, selEnd);
    QFETCH(int, cursor);
    QFETCH(QString, copied);

    ScriptedMain win;
    QVERIFY(win.activate());
    RawTextBox *box = win.cmdFormat();
    box->setText(rddAll);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->width() - 4, box->height() / 2));
    QCOMPARE(QApplication::focusWidget(), box);
    QCOMPARE(box->cursorPosition(), qsizetype(10));

    QApplication::clipboard()->setText(QStringLiteral("(kept)"));
    for (const QString &k : keys) {
        const QKeyCombination c = QKeySequence::fromString(k)[0];
        QTest::keyClick(box, c.key(), c.keyboardModifiers());
    }
    QCOMPARE(box->selectionStart(), qsizetype(selStart));
    QCOMPARE(box->selectionEnd(), qsizetype(selEnd));
    QCOMPARE(box->cursorPosition(), qsizetype(cursor));
    QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), copied);
    QCOMPARE(box->text(), rddAll);
    QCOMPARE(QApplication::focusWidget(), box);

    // Tab goes on to the next control in the tab order, never into the other box, and
    // the box it leaves follows its newest characters again.
    QTest::keyClick(box, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("QztData"));
    QVERIFY(!box->hasSelectedText());
    QCOMPARE(box->cursorPosition(), qsizetype(10));
}

void TestMainWindow::rawTextBoxViewFollowsCursor()
{
    const QByteArray text = QByteArray("\x02START ") + QByteArray(3000, 'x') + QByteArray("END\r");
    auto shot = [](RawTextBox &b) { return b.grab().toImage(); };
    auto box = [](const QByteArray &t) {
        auto *b = new RawTextBox;
        b->resize(369, 25);
        b->setText(t);
        return std::unique_ptr<RawTextBox>(b);
    };
    const auto tail = box(text);
    const auto head = box(text.left(200)); // the same start, and more than fits
    head->setCursorPosition(0);
    const QImage tailImage = shot(*tail);
    const QImage headImage = shot(*head);
    QVERIFY(tailImage != headImage);

    // A cursor put where it is already in view pins the view: appends do not move it.
    const auto pinned = box(text);
    pinned->setCursorPosition(pinned->size() - 3);
    QCOMPARE(shot(*pinned), tailImage);
    pinned->append('q');
    QCOMPARE(shot(*pinned), tailImage);

    // Home shows the start; appending then leaves the view alone.
    const auto b = box(text);
    b->setCursorPosition(0);
    QCOMPARE(shot(*b), headImage);
    b->append('y');
    QCOMPARE(shot(*b), headImage);
    QCOMPARE(b->cursorPosition(), qsizetype(0));

    // Moving right past the edge scrolls; the cursor stays in view.
    b->setCursorPosition(150);
    QVERIFY(shot(*b) != headImage);
    QCOMPARE(b->cursorPosition(), qsizetype(150));

    // End follows the newest characters again, appends included.
    b->setCursorPosition(b->size());
    const auto grown = box(text + 'y');
    QCOMPARE(shot(*b), shot(*grown));
    b->append('z');
    grown->append('z');
    QCOMPARE(b->cursorPosition(), b->size());
    QCOMPARE(shot(*b), shot(*grown));

    // A selection is drawn, and it and the view survive appends.
    b->setCursorPosition(0);
    QCOMPARE(shot(*b), headImage);
    b->setSelection(1, 5);
    const QImage selected = shot(*b);
    QVERIFY(selected != headImage);
    b->append('w');
    QCOMPARE(b->selectedBytes(), QByteArray("START"));
    QCOMPARE(shot(*b), selected);

    // Assistive tools see the same selection.
    b->setSelection(2, 3);
    QAccessibleInterface *acc = QAccessible::queryAccessibleInterface(b.get());
    int from = -1, to = -1;
    acc->textInterface()->selection(0, &from, &to);
    QCOMPARE(QPair(from, to), QPair(2, 5));
    QCOMPARE(acc->textInterface()->cursorPosition(), 5);
}

void TestMainWindow::rawTextBoxMouseAndMenu()
{
    ScriptedMain win;
    QVERIFY(win.activate());
    RawTextBox *rx = win.txtRx();
    const QByteArray bytes = QByteArray("\x02" "D01 00001\r") + '\0' + QByteArray("\x7f\xb1\x80 end");
    win.port.receive(bytes);
    QCOMPARE(rx->text(), bytes);

    // A click gives it the focus; a drag selects from where it started.
    const int y = rx->height() / 2;
    QTest::mousePress(rx, Qt::LeftButton, {}, QPoint(3, y));
    QCOMPARE(QApplication::focusWidget(), rx);
    QCOMPARE(rx->cursorPosition(), qsizetype(0));
    QTest::mouseMove(rx, QPoint(rx->width() - 3, y));
    QMouseEvent move(QEvent::MouseMove, QPointF(rx->width() - 3, y), rx->mapToGlobal(QPointF(rx->width() - 3, y)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rx, &move);
    QTest::mouseRelease(rx, Qt::LeftButton, {}, QPoint(rx->width() - 3, y));
    QCOMPARE(rx->selectionStart(), qsizetype(0));
    QCOMPARE(rx->selectionEnd(), bytes.size());

    // A double click takes one word.
    rx->setCursorPosition(0);
    rx->setText(bytes + " 12345");
    const int x = rx->width() - 6; // inside the last word
    QTest::mouseDClick(rx, Qt::LeftButton, {}, QPoint(x, y));
    QCOMPARE(rx->selectedBytes(), QByteArray("12345"));

    // The menu: copy and select all, Qt's own captions.
    std::unique_ptr<QMenu> menu(rx->createContextMenu());
    auto *copy = menu->findChild<QAction *>("edit-copy");
    auto *all = menu->findChild<QAction *>("select-all");
    QVERIFY(copy && all);
    QCOMPARE(copy->text(), QStringLiteral("コピー(&C)\tCtrl+C"));
    QCOMPARE(all->text(), QStringLiteral("すべてを選択\tCtrl+A"));
    QVERIFY(copy->isEnabled());
    QVERIFY(all->isEnabled());
    all->trigger();
    menu.reset(rx->createContextMenu());
    QVERIFY(!menu->findChild<QAction *>("select-all")->isEnabled()); // all selected already
    menu->findChild<QAction *>("edit-copy")->trigger();
    // Bytes below 0x80 as they came, NUL and DEL included; katakana as shown.
    QCOMPARE(QApplication::clipboard()->text(),
             QString::fromUtf16(u"\u0002D01 00001\r") + QChar(0) + QChar(0x7F)
                 + QString::fromUtf16(u"\uFF71\uFFFD end 12345"));
    rx->deselect();
    menu.reset(rx->createContextMenu());
    QVERIFY(!menu->findChild<QAction *>("edit-copy")->isEnabled());
    QCOMPARE(rx->text(), bytes + " 12345");
}

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
