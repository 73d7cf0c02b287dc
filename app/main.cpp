#include "app_identity.h"
#include "startup.h"
#include "line/module1.h"
#include "line/line_comm_control.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // On X, Qt hands each paint over in a shared-memory image and waits for the server
    // to be done with it before the next paint: a round trip and a wakeup of Qt's X
    // thread for every paint of received characters. The window is small; sending its
    // pixels over the connection costs less. A user's own setting stays.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication app(argc, argv);
    setupApplication();

    Module1 state;
    LineCommControl port;
    const auto window = Main(state, port);
    return app.exec();
}
