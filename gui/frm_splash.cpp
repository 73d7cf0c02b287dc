#include "frm_splash.h"
#include "app_identity.h"
#include "window_style.h"
#include "ui_frm_splash.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <qdrawutil.h>

namespace {
const QColor SplashBackground(192, 255, 255);
constexpr QSize SplashSize(480, 326);  // 7200 x 4890 twips
constexpr int SplashShowTimeMs = 2500; // then it closes itself
}

frmSplash::frmSplash(QWidget *parent)
    : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint)
    , ui(std::make_unique<Ui::frmSplash>())
    , Timer1(new QTimer(this))
{
    loadResources();
    ui->setupUi(this);
    // The client area inside a fixed dialog frame. The window system draws no frame
    // round a splash window, and none at all without a window manager, so the window
    // draws its own.
    setFixedSize(SplashSize + QSize(2 * FrameWidth, 2 * FrameWidth));
    fillBackground(this, SplashBackground);
    fillBackground(ui->Frame1, SplashBackground);
    fillBackground(ui->picIcon, SplashBackground);

    // Arial Black is a black-weight face; ask for that weight so a stand-in family
    // is drawn heavy too.
    for (QLabel *l : {ui->lblProductName, ui->lblPlatform}) {
        QFont f = l->font();
        f.setWeight(QFont::Black);
        l->setFont(f);
    }

    Timer1->setObjectName(QStringLiteral("Timer1"));
    connect(Timer1, &QTimer::timeout, this, &frmSplash::Timer1_Timer);

    for (QWidget *w : {static_cast<QWidget *>(ui->Frame1), static_cast<QWidget *>(ui->imgLogo),
                       static_cast<QWidget *>(ui->picIcon), static_cast<QWidget *>(ui->lblPlatform),
                       static_cast<QWidget *>(ui->lblProductName)})
        w->installEventFilter(this);

    if (QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));

    Form_Load();
}

frmSplash::~frmSplash() = default;

void frmSplash::Form_Load()
{
    ui->lblVersion->setText(versionText());
    ui->lblVersion->adjustSize();
    ui->lblProductName->setText(applicationTitle());
    ui->lblProductName->adjustSize();
    ui->lblPlatform->adjustSize();
    Timer1->setInterval(SplashShowTimeMs);
    Timer1->start();
}

void frmSplash::paintEvent(QPaintEvent *)
{
    // A dialog frame as the system draws one: a raised edge two pixels wide in the
    // system's 3D colours (not the window's cyan), then one pixel of face colour.
    QPainter p(this);
    const QPalette system = QApplication::palette();
    p.setPen(system.color(QPalette::Button));
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(2, 2, -3, -3));
    qDrawWinPanel(&p, rect(), system, false);
}

void frmSplash::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // A window manager may not give a splash window the focus (openbox does not), and
    // without a window manager the focus stays wherever the pointer is: ask for it, and
    // take the keyboard while the window is up so any key reaches it all the same.
    activateWindow();
    raise();
    m_grabTries = 0;
    QTimer::singleShot(0, this, &frmSplash::takeKeyboard);
}

void frmSplash::takeKeyboard()
{
    if (m_unloaded || !isVisible())
        return;
    if (m_grabTries == 0)
        grabKeyboard();
    // The window system refuses the grab until the window is on screen: try again a
    // little later, a few times.
    QWindow *window = windowHandle();
    if (window && !window->setKeyboardGrabEnabled(true) && ++m_grabTries < 20)
        QTimer::singleShot(50, this, &frmSplash::takeKeyboard);
}

void frmSplash::unloadSplash()
{
    Timer1->stop();
    accept();
}

void frmSplash::done(int result)
{
    // However the window goes (one of the handlers, or the window system), the timer
    // must not outlive it and the caller's modal show returns exactly once.
    Timer1->stop();
    if (m_unloaded)
        return;
    m_unloaded = true;
    releaseKeyboard();
    QDialog::done(result);
}

void frmSplash::Form_KeyPress(int)
{
    unloadSplash();
}
void frmSplash::Frame1_Click() { unloadSplash(); }
void frmSplash::imgLogo_Click() { unloadSplash(); }
void frmSplash::picIcon_Click() { unloadSplash(); }
void frmSplash::lblPlatform_Click() { unloadSplash(); }
void frmSplash::lblProductName_Click() { unloadSplash(); }
void frmSplash::Timer1_Timer() { unloadSplash(); }

void frmSplash::keyPressEvent(QKeyEvent *event)
{
    // Only keys that produce a character count (Enter, Escape and Backspace do; Shift,
    // arrows and function keys do not). QDialog's own Escape and Enter handling is not
    // used, so Escape closes the window through here like any other character.
    const QString text = event->text();
    if (!text.isEmpty())
        Form_KeyPress(text.at(0).unicode());
    event->accept();
}

bool frmSplash::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        auto *me = static_cast<QMouseEvent *>(event);
        auto *w = static_cast<QWidget *>(watched);
        if (me->button() == Qt::LeftButton && w->rect().contains(me->position().toPoint())) {
            if (watched == ui->imgLogo)
                imgLogo_Click();
            else if (watched == ui->picIcon)
                picIcon_Click();
            else if (watched == ui->lblPlatform)
                lblPlatform_Click();
            else if (watched == ui->lblProductName)
                lblProductName_Click();
            else if (watched == ui->Frame1)
                Frame1_Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void showSplashModal(QWidget *owner)
{
    frmSplash splash(owner);
    splash.exec();
}
