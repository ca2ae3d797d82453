#include "DisplayText.h"
#include "MainWindow.h"

#ifdef TOLVEX_SIMULATED
#include "SimulatedDemo.h"
#endif

#include <QApplication>

namespace {

// A diagnostic may carry a device's or a file's string (a product name, a memory layout):
// shown escaped, one message one line, never an instruction to the terminal.
void messages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    qt_message_output(type, context, display::text(text));
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(messages);
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
