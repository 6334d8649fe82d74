// TarvikClient: the windowed launcher.
#include "platform/ProcessExit.h"
#include "program/Startup.h"

#include <QApplication>

int main(int argc, char** argv)
{
    int code = 0;
    {
        QApplication app(argc, argv);
        code = tarvik::runClient(app);
    }
    tarvik::platform::endProcess(code);
    return code;
}
