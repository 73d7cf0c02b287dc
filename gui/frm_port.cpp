#include "frm_port.h"
#include "ui_frm_port.h"

#include "line/comm_control.h"
#include "line/module1.h"
#include "line/port_failure_text.h"
#include "line/port_control.h"
#include "window_style.h"

namespace {
constexpr int PortCount = 4; // COM1..COM4
constexpr qreal LabelPoints = 11.25;
}

frmPORT::frmPORT(Module1 &state, CommControl &port, QWidget *parent)
    : QDialog(parent, FixedDialogFlags)
    , ui(std::make_unique<Ui::frmPORT>())
    , m_state(state)
    , m_port(port)
{
    ui->setupUi(this);
    setFontPoints(ui->Label1, LabelPoints);

    connect(ui->Command1, &QPushButton::clicked, this, &frmPORT::Command1_Click);
    ui->Command1->setFocus();
    Form_Load();
}

frmPORT::~frmPORT() = default;

void frmPORT::Form_Load()
{
    for (int n = 1; n <= PortCount; ++n) {
        ui->Combo1->addItem(QStringLiteral("COM%1").arg(n));
        // Which device each entry stands for, and whether it is there now.
        ui->Combo1->setItemData(n - 1, portDeviceDescription(n), Qt::ToolTipRole);
    }
    const int index = m_state.PortNumber - 1;
    ui->Combo1->setCurrentIndex(index >= 0 && index < PortCount ? index : -1);
    // The port stays open; only RTS drops while the operator chooses.
    m_port.setRTSEnable(false);
}

void frmPORT::Command1_Click()
{
    // No entry chosen would give port 0, which names nothing: keep the port in use.
    const int index = ui->Combo1->currentIndex();
    if (index >= 0)
        m_state.PortNumber = static_cast<std::int16_t>(index + 1);
    accept();
}

void frmPORT::Form_Unload()
{
    OpenPort(m_state, m_port);
}

void frmPORT::done(int result)
{
    // accept(), reject() and the close box all come through here; reopen only once.
    if (!m_unloaded) {
        m_unloaded = true;
        Form_Unload();
    }
    QDialog::done(result);
}
