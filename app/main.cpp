#include "app/app_identity.h"
#include "app/startup.h"
#include "link/module1.h"
#include "link/line_comm_control.h"

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
