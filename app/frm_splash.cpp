#include "app/frm_splash.h"
#include "app/app_identity.h"
#include "link/window_style.h"
#include "ui_frm_splash.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QTimer>

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
    setFixedSize(SplashSize);
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
