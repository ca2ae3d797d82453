#include "MainWindow.h"

#ifdef TOLVEX_SIMULATED
#include "SimulatedDemo.h"
#endif

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
#ifdef TOLVEX_SIMULATED
    // The simulated devices are plugged in before the window first looks for devices.
    SimulatedDemo simulated;
#endif
    MainWindow window; // destroyed before the application object
    window.show();
#ifdef TOLVEX_SIMULATED
    simulated.attach(window);
#endif
    return application.exec();
}
