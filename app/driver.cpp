#include "app/driver.h"

#include <QCoreApplication>

int runDriver(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return 0;
}
