#include "app_identity.h"
#include "startup.h"
#include "line/module1.h"
#include "line/line_comm_control.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    setupApplication();

    Module1 state;
    LineCommControl port;
    const auto window = Main(state, port);
    return app.exec();
}
