#pragma once
// Helpers for the window tests: controls by their object names, acting on a modal
// window from inside its exec(), and the main window on the scripted port.

#include "frm_main.h"
#include "raw_text_box.h"
#include "fake_comm_control.h"
#include "line/module1.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

template<typename T>
T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

// Acts on the next modal window of type T once it is up, from inside the event loop
// its exec() runs; looks again a little later while it is not up yet.
// The watch ends with scope, so it never reaches into a later test.
template<typename T>
void onModal(QObject *scope, std::function<void(T *)> act, int tries = 500)
{
    QTimer::singleShot(10, scope, [scope, act, tries] {
        auto *w = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!w || !w->isVisible()) {
            if (tries > 0)
                onModal<T>(scope, act, tries - 1);
            return;
        }
        act(w);
    });
}

// What a message box said; recorded inside the modal loop, checked afterwards.
struct BoxSeen
{
    int count = 0;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::StandardButtons standardButtons;
    int buttons = -1;
};

inline void closeNextMessageBox(QObject *scope, BoxSeen &seen)
{
    onModal<QMessageBox>(scope, [&seen](QMessageBox *box) {
        ++seen.count;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.format = box->textFormat();
        seen.standardButtons = box->standardButtons();
        seen.buttons = int(box->buttons().size());
        box->close();
    });
}

// The main window's controls, by the names the window gives them.
struct MainControls
{
    frmMain *w = nullptr;

    RawTextBox *txtRx() const { return child<RawTextBox>(w, "txtRx"); }
    RawTextBox *cmdFormat() const { return child<RawTextBox>(w, "cmdFormat"); }
    QLabel *Label5() const { return child<QLabel>(w, "Label5"); }
    QString cell(int r, int c) const { return w->counterTable().text(r, c); }
    QStringList row(int r) const
    {
        QStringList texts;
        for (int c = 0; c < CounterTable::Columns; ++c)
            texts << cell(r, c);
        return texts;
    }
    void click(const char *button) const
    {
        QTest::mouseClick(child<QPushButton>(w, button), Qt::LeftButton);
    }
    void trigger(const char *menuItem) const { child<QAction>(w, menuItem)->trigger(); }
};

// The main window on the scripted port, without splash or start-up dialog.
struct ScriptedMain : MainControls
{
    Module1 state;
    FakeCommControl port;
    frmMain window {state, port, [] {}};

    ScriptedMain() { w = &window; }
    ~ScriptedMain() { window.close(); }
    bool show()
    {
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }
    bool activate()
    {
        window.show();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    }
};
