#pragma once

#include <QDialog>
#include <functional>
#include <memory>

namespace Ui {
class CLR_ALL;
}

// Asks before the counter's records are erased. onConfirm sends "CLR ALL" (the main
// window's request sequence); the dialog closes afterwards whether or not the
// command could be sent.
class CLR_ALL : public QDialog
{
    Q_OBJECT
public:
    explicit CLR_ALL(std::function<void()> onConfirm, QWidget *parent = nullptr);
    ~CLR_ALL() override;

private slots:
    void OKButton_Click();
    void CancelButton_Click();

private:
    std::unique_ptr<Ui::CLR_ALL> ui;
    std::function<void()> m_onConfirm;
};
