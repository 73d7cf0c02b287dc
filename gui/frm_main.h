#pragma once

#include "line/reply_framing.h"
#include "line/request.h"
#include "table/counter_table.h"

#include <QMainWindow>
#include <functional>
#include <memory>

namespace Ui {
class frmMain;
}
class CommControl;
struct Module1;
class QFileDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class PaintPacer;
class QTableView;
class RawTextBox;

// The save dialog's file types, one text as the window's design holds it.
inline constexpr const char *CsvFilterText = "CSV File (*.csv)|*.csv|全てのファイル (*.*)|*.*";
// Turns "description|pattern|..." into the dialog's entries.
QStringList nameFiltersFromFilterText(const QString &filter);

// Shows the splash window and returns when it has gone. The program always uses
// showSplashModal; tests put their own in.
using SplashRunner = std::function<void()>;

// The main window. It lives for the whole run, owns the controls the other windows
// share and wires their events to the core's line and table code.
class frmMain : public QMainWindow, public ReceiveSink, public RequestView
{
    Q_OBJECT
public:
    // Creating the window runs Form_Load to its end (splash window and first port
    // open included) before it is first shown.
    frmMain(Module1 &state, CommControl &port, SplashRunner splash = {}, QWidget *parent = nullptr);
    ~frmMain() override;

    Module1 &state() { return m_state; }
    CommControl &QztTxRx() { return m_port; }
    CounterTable &counterTable() { return m_table; }

    // ReceiveSink: where received characters and verdicts show.
    void appendLog(char c) override;          // txtRx
    void setStatus(const QString &text) override; // Label5

    // RequestView: what a request touches on this window.
    void setTransmitText(const QByteArray &text) override; // cmdFormat
    QByteArray transmitText() const override;
    void clearRecordsAndStatus() override;                   // Command3_Click
    RecordsAndStatus recordsAndStatus() const override;
    void restoreRecordsAndStatus(const RecordsAndStatus &saved) override;
    void clearReceiveLog() override;                         // txtRx
    void warnPortNotOpen(const QString &text) override;

public slots:
    void QztTxRx_OnComm();
    void Command3_Click();
    void menuPort_Click();
    void MenuAbout_Click();
    void menuFin_Click();

    // The request and export buttons; their work lives in the core's line and CSV code.
    void Command1_Click();
    void Command4_Click();
    void Command2_Click();
    void CsvOut_Click();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void Form_Unload();
    void SetupCounterTable();
    void layOutGrid();
    std::unique_ptr<QFileDialog> newCommonDialog(); // the save dialog, CommonDialog1

    std::unique_ptr<Ui::frmMain> ui;
    Module1 &m_state;
    CommControl &m_port;
    SplashRunner m_splash;
    CounterTable m_table;
    PaintPacer *m_pacer = nullptr; // what received characters make the window draw
    bool m_unloaded = false;
};
