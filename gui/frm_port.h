#pragma once

#include <QDialog>
#include <memory>

struct Module1;
class CommControl;

namespace Ui {
class frmPORT;
}

// The port selection dialog. Made afresh for each showing: loading it drops RTS on
// the open port and preselects the port in use; however it closes, it reopens the
// port on PortNumber, once.
class frmPORT : public QDialog
{
    Q_OBJECT
public:
    frmPORT(Module1 &state, CommControl &port, QWidget *parent = nullptr);
    ~frmPORT() override;

    // Every way of closing (the button, the close box, Escape) ends here.
    void done(int result) override;

private slots:
    void Command1_Click();

private:
    void Form_Load();
    void Form_Unload();

    std::unique_ptr<Ui::frmPORT> ui;
    Module1 &m_state;
    CommControl &m_port;
    bool m_unloaded = false;
};
