#include "link/clr_all.h"
#include "ui_clr_all.h"

CLR_ALL::CLR_ALL(std::function<void()> onConfirm, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::CLR_ALL>())
    , m_onConfirm(std::move(onConfirm))
{
    ui->setupUi(this);
    // Designer stores whole points only.
    QFont f = ui->Label1->font();
    f.setPointSizeF(9.75);
    ui->Label1->setFont(f);

    // Neither button is made the default: Enter and Space act on the button that
    // has the focus, which is OKButton when the dialog opens.
    connect(ui->OKButton, &QPushButton::clicked, this, &CLR_ALL::OKButton_Click);
    connect(ui->CancelButton, &QPushButton::clicked, this, &CLR_ALL::CancelButton_Click);
    ui->OKButton->setFocus();
}

CLR_ALL::~CLR_ALL() = default;

void CLR_ALL::OKButton_Click()
{
    if (m_onConfirm)
        m_onConfirm();
    accept();
}

void CLR_ALL::CancelButton_Click()
{
    reject();
}
