#include "app/startup.h"

std::unique_ptr<frmMain> Main(Module1 &state, CommControl &port, SplashRunner splash)
{
    auto window = std::make_unique<frmMain>(state, port, std::move(splash));
    window->show();
    showPortDialog(state, port, window.get());
    return window;
}

void showPortDialog(Module1 &state, CommControl &port, QWidget *owner)
{
    // PORT DIALOG NOT WIRED YET: frmPORT (link/frm_port.h) comes from the link code;
    // until it is merged there is nothing to show here.
    Q_UNUSED(state);
    Q_UNUSED(port);
    Q_UNUSED(owner);
}
