#include "SimulatedDemo.h"

#include "DemoBoards.h"
#include "DemoRoad.h"
#include "MainWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

namespace {
const char GoodFile[] = "Tolvex-Demo-Board-V1.1.dfu";
}

SimulatedDemo::SimulatedDemo() = default;

void SimulatedDemo::attach(MainWindow &window)
{
    const QStringList args = QCoreApplication::arguments();
    const int road = args.indexOf(QStringLiteral("--road"));
    if (road < 0) {
        devices.move(window.frameGeometry().topRight() + QPoint(20, 0));
        devices.show();
        return;
    }
    const QString folder = args.value(road + 1, QDir::currentPath());
    if (!QDir().mkpath(folder))
        std::printf("!! cannot make the picture folder %s\n", qPrintable(folder));
    QTimer::singleShot(0, &window, [this, &window, folder] {
        DemoRoad steps(window, folder);
        const int code = steps.run(QDir::current().filePath(QLatin1String(GoodFile)), QLatin1String(demo::StandardProduct));
        // The devices window too, as a user of the demo would find it.
        devices.adjustSize();
        devices.grab().save(QDir(folder).filePath(QStringLiteral("simulated-devices.png")));
        QCoreApplication::exit(code);
    });
}
