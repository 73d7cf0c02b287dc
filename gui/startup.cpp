#include "startup.h"
#include "frm_port.h"

std::unique_ptr<frmMain> Main(Module1 &state, CommControl &port, SplashRunner splash)
{
    auto window = std::make_unique<frmMain>(state, port, std::move(splash));
    window->show();
    showPortDialog(state, port, window.get());
    return window;
}

void showPortDialog(Module1 &state, CommControl &port, QWidget *owner)
{
    // Its unload reopens the port on the chosen number, however it is closed.
    frmPORT dialog(state, port, owner);
    dialog.exec();
}
