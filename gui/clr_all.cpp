#include "clr_all.h"
#include "ui_clr_all.h"

#include "window_style.h"

namespace {
constexpr qreal LabelPoints = 9.75;
}

CLR_ALL::CLR_ALL(std::function<void()> onConfirm, QWidget *parent)
    : QDialog(parent, FixedDialogFlags)
    , ui(std::make_unique<Ui::CLR_ALL>())
    , m_onConfirm(std::move(onConfirm))
{
    ui->setupUi(this);
    setFontPoints(ui->Label1, LabelPoints);

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
