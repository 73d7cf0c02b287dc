#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class frmSplash;
}
class QTimer;

// The start-up window: title, logo and a small picture on light cyan inside a fixed
// dialog frame without a title bar. It closes itself after 2.5 s, or at once on a key
// that produces a character or a click on its content.
class frmSplash : public QDialog
{
    Q_OBJECT
public:
    // Width of the dialog frame drawn around the client area.
    static constexpr int FrameWidth = 3;

    explicit frmSplash(QWidget *parent = nullptr);
    ~frmSplash() override;

    // Every way out ends here; the first one wins, later ones do nothing.
    void done(int result) override;

public slots:
    void Form_KeyPress(int keyAscii);
    void Frame1_Click();
    void imgLogo_Click();
    void picIcon_Click();
    void lblPlatform_Click();
    void lblProductName_Click();
    void Timer1_Timer();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void Form_Load();
    void unloadSplash();
    void takeKeyboard();

    std::unique_ptr<Ui::frmSplash> ui;
    QTimer *Timer1;
    bool m_unloaded = false;
    int m_grabTries = 0;
};

// Shows the splash window modally and returns once it has closed itself.
void showSplashModal(QWidget *owner = nullptr);
