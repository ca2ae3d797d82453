// The station screen on simulated boards, in one run (offscreen):
//   - 16 boards of 512 KiB (ROM profile) arriving 1 s apart: the screen's time until the last
//     is done, against the terminal station's with the same boards;
//   - the longest gap between two steps of the screen's event loop while 32 boards update at
//     once, against 100 ms;
//   - the screen's CPU while idle with 16 empty ports for 60 s, as a share of one core, against
//     0.5 %.
// Prints `CASE: ratio R (target <= T)`; "screen" is in each case's name.

#include "BenchFiles.h"
#include "Cli.h"
#include "CpuTime.h"
#include "SimHid.h"
#include "StationWindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

sim::Board romBoard(uint8_t port, bool instant = false)
{
    sim::HidAppDeviceSpec app;
    app.serial = "TVX-" + std::to_string(1000 + port);
    sim::Board b = plugBoard(app, "V1.0", 300, std::string(), port);
    if (!instant)
        b.dfu->setTiming(sim::Timing::Realistic);
    return b;
}

// The screen's setup over the working folder's fw.dfu, for `ports` ports.
StationWindow::Setup screenSetup(int ports, const QString &history)
{
    QString text =
        QStringLiteral("firmware = fw.dfu\nconfig = Config.ini\nhistory = %1\nsound = off\n[ports]\n").arg(history);
    for (int i = 1; i <= ports; ++i)
        text += QStringLiteral("1-%1 = P%1\n").arg(i);
    QFile f(QStringLiteral("station.conf"));
    if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0)
        return {};
    f.close();
    StationWindow::Setup s;
    const Outcome ready = update::stationFromProfile(
        QDir::current().filePath(QStringLiteral("station.conf")), s.profile, s.settings, s.firmware);
    if (!ready)
        std::fprintf(stderr, "%s\n", qPrintable(ready.message()));
    s.settings.road.arrivalTimeoutMs = 20000;
    return s;
}

// Plugs `count` boards `apartMs` apart from now on.
QList<sim::Board> *arrivals(int count, int apartMs, bool instant = false)
{
    auto *boards = new QList<sim::Board>;
    *boards << romBoard(1, instant);
    for (int i = 1; i < count; ++i)
        QTimer::singleShot(apartMs * i, [boards, i, instant] { *boards << romBoard(uint8_t(1 + i), instant); });
    return boards;
}

// Seconds until the screen has ended `count` boards arriving `apartMs` apart, and the longest
// gap between two steps of its event loop meanwhile.
double screenSeconds(int count, int apartMs, const QString &history, qint64 *longestGapMs = nullptr)
{
    StationWindow::Setup setup = screenSetup(count, history);
    setup.settings.count = count;
    StationWindow window(setup);
    window.resize(1280, 800);
    window.show();
    int ended = 0;
    QObject::connect(&window, &StationWindow::boardEnded, [&ended] { ++ended; });
    QElapsedTimer clock, step;
    clock.start();
    step.start();
    qint64 longest = 0;
    QTimer beat;
    beat.callOnTimeout([&] { longest = std::max(longest, step.restart()); });
    beat.start(5);
    std::unique_ptr<QList<sim::Board>> boards(arrivals(count, apartMs));
    while (ended < count && clock.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double seconds = double(clock.elapsed()) / 1000.0;
    beat.stop();
    if (longestGapMs)
        *longestGapMs = longest;
    sim::World::instance().unplugAll();
    return ended == count ? seconds : -1;
}

double terminalSeconds(int count, int apartMs, const QString &firmware)
{
    cli::Io io;
    io.out = [](const QString &) {};
    io.err = [](const QString &) {};
    io.arrivalTimeoutMs = 20000;
    std::unique_ptr<QList<sim::Board>> boards(arrivals(count, apartMs));
    QElapsedTimer clock;
    clock.start();
    const int exit = cli::run({QStringLiteral("station"), firmware, QStringLiteral("--count"), QString::number(count),
                                  QStringLiteral("--no-history")},
        io);
    const double seconds = double(clock.elapsed()) / 1000.0;
    sim::World::instance().unplugAll();
    return exit == cli::ExitDone ? seconds : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const BenchFolder folder;
    const QString firmware = writeConfigAndFirmware(512 * 1024);
    if (firmware.isEmpty())
        return 1;

    const double terminal = terminalSeconds(16, 1000, firmware);
    const double screen = screenSeconds(16, 1000, folder.dir.filePath(QStringLiteral("h1.sqlite")));
    qint64 gap = 0;
    const double many = screenSeconds(32, 0, folder.dir.filePath(QStringLiteral("h2.sqlite")), &gap);
    if (terminal <= 0 || screen <= 0 || many <= 0) {
        std::fprintf(stderr, "a station run failed\n");
        return 1;
    }

    // Idle: 16 empty ports for 60 s (TOLVEX_BENCH_IDLE_SECONDS shortens it by hand).
    const int idleSeconds = qEnvironmentVariableIsSet("TOLVEX_BENCH_IDLE_SECONDS")
                                ? qEnvironmentVariableIntValue("TOLVEX_BENCH_IDLE_SECONDS")
                                : 60;
    double idleShare = 0;
    {
        StationWindow window(screenSetup(16, folder.dir.filePath(QStringLiteral("h3.sqlite"))));
        window.resize(1280, 800);
        window.show();
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 1000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const double cpu = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        QEventLoop idle; // as the program waits: in the event loop
        QTimer::singleShot(idleSeconds * 1000, &idle, &QEventLoop::quit);
        idle.exec();
        idleShare = (cpuSeconds() - cpu) / (double(clock.elapsed()) / 1000.0);
    }

    std::printf("the station screen, simulated boards (offscreen)\n");
    std::printf("  16 boards of 512 KiB 1 s apart: screen %.3f s, terminal %.3f s\n", screen, terminal);
    std::printf("  32 boards at once: last done at %.3f s, longest event-loop gap %lld ms\n", many, gap);
    std::printf("  idle, 16 empty ports, %d s: %.3f %% of one core\n", idleSeconds, idleShare * 100);
    std::printf("screen / terminal station, 16 boards 1 s apart: ratio %.3f (target <= 1.05)\n", screen / terminal);
    std::printf("screen's longest event-loop gap, 32 boards at once / 100 ms: ratio %.3f (target <= 1.00)\n",
        double(gap) / 100.0);
    std::printf(
        "screen idle CPU, 16 empty ports / 0.5 %% of a core: ratio %.3f (target <= 1.00)\n", idleShare * 100 / 0.5);
    return 0;
}
