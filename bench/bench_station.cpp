// tolvex-dfu station on simulated boards, in one run:
//   - eight boards of 512 KiB on the ROM profile, plugged in one second apart: the time until
//     the last is done, against the last one's arrival plus one board's whole road measured
//     alone in the same run;
//   - 32 ports, boards of 512 KiB arriving every 100 ms: the same ratio, and CPU time per board;
//   - 500 boards through the station one after another on instant timing: resident memory,
//     open files and threads at the end against the 50th board (no leak per board).
// Prints `CASE: ratio R (target <= T)`.

#include "BenchFiles.h"
#include "Cli.h"
#include "CpuTime.h"
#include "SimHid.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

cli::Io quietIo()
{
    cli::Io io;
    io.out = [](const QString &) {};
    io.err = [](const QString &) {};
    io.arrivalTimeoutMs = 20000;
    return io;
}

sim::Board romBoard(uint8_t port)
{
    sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 300, std::string(), port);
    b.dfu->setTiming(sim::Timing::Realistic);
    return b;
}

// Seconds until a station has ended `count` boards, the first plugged now and the others
// `apartMs` after each other.
double stationSeconds(int count, int apartMs, const QString &firmware)
{
    QList<sim::Board> boards;
    boards << romBoard(1);
    for (int i = 1; i < count; ++i)
        QTimer::singleShot(apartMs * i, [&boards, i] { boards << romBoard(uint8_t(1 + i)); });
    const cli::Io io = quietIo();
    QElapsedTimer clock;
    clock.start();
    const int exit = cli::run({QStringLiteral("station"), firmware, QStringLiteral("--count"), QString::number(count),
                               QStringLiteral("--no-history")},
                              io);
    const double seconds = double(clock.elapsed()) / 1000.0;
    sim::World::instance().unplugAll();
    return exit == cli::ExitDone ? seconds : -1;
}

struct Usage
{
    double residentMiB = 0;
    int files = 0;
    int threads = 0;
};

int entries(const char *folder)
{
    return int(QDir(QString::fromLatin1(folder)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

Usage usage()
{
    Usage u;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().split(' ');
        if (fields.size() > 1)
            u.residentMiB = fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
    }
    u.files = entries("/proc/self/fd");
    u.threads = entries("/proc/self/task");
    return u;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const BenchFolder folder;
    const QString firmware = writeConfigAndFirmware(512 * 1024);
    if (firmware.isEmpty())
        return 1;

    const double alone = stationSeconds(1, 0, firmware);
    const double eight = stationSeconds(8, 1000, firmware);
    if (alone <= 0 || eight <= 0) {
        std::fprintf(stderr, "a station run failed\n");
        return 1;
    }

    // 500 boards, one after another: each replaced by the next once it is back in its
    // application with the new version.
    const QString small = writeConfigAndFirmware(40 * 1024);
    constexpr int Boards = 500;
    int plugged = 0;
    Usage at50;
    // Each board with a serial of its own, as real ones have: the next one put in within a
    // restart's time is told from the one that left by its serial.
    const auto nextBoard = [&plugged] {
        sim::HidAppDeviceSpec app;
        app.serial = "TVX-" + std::to_string(10000 + plugged);
        return std::make_unique<sim::Board>(plugBoard(app, "V1.0", 50, std::string(), 1));
    };
    std::unique_ptr<sim::Board> current = nextBoard();
    ++plugged;
    QTimer swap;
    swap.callOnTimeout([&] {
        if (!current || current->app->versionText() != "V1.1" || !current->app->connected())
            return;
        sim::World::instance().unplug(current->app);
        current.reset();
        if (plugged == 50)
            at50 = usage();
        // The next board a moment later, as a hand takes one out and puts the next in.
        if (plugged < Boards) {
            ++plugged;
            QTimer::singleShot(100, [&] { current = nextBoard(); });
        }
    });
    swap.start(5);
    const cli::Io io = quietIo();
    const QString history = folder.dir.filePath(QStringLiteral("history.sqlite"));
    QElapsedTimer clock;
    clock.start();
    const int exit = cli::run({QStringLiteral("station"), small, QStringLiteral("--count"), QString::number(Boards),
                               QStringLiteral("--history"), history},
                              io);
    swap.stop();
    current.reset();
    sim::World::instance().unplugAll();
    const Usage end = usage();
    if (exit != cli::ExitDone) {
        std::fprintf(stderr, "the 500-board station ended with %d\n", exit);
        return 1;
    }
    // After the leak case, whose figures would otherwise count this one's buffers; the 512 KiB
    // file again, which the small one replaced.
    const double cpuBefore = cpuSeconds();
    const double many = stationSeconds(32, 100, writeConfigAndFirmware(512 * 1024));
    const double cpuPerBoard = (cpuSeconds() - cpuBefore) / 32.0;
    if (many <= 0) {
        std::fprintf(stderr, "the 32-port station run failed\n");
        return 1;
    }

    std::printf("tolvex-dfu station, simulated boards\n");
    std::printf("  one board of 512 KiB alone (ROM profile)        %8.3f s\n", alone);
    std::printf("  eight boards plugged in 1 s apart, last done at %8.3f s\n", eight);
    std::printf("  32 boards arriving 0.1 s apart, last done at    %8.3f s; CPU %.3f s a board\n", many, cpuPerBoard);
    std::printf("  500 boards of 40 KiB in sequence (instant)      %8.3f s\n", double(clock.elapsed()) / 1000.0);
    std::printf("  at the 50th board: %.1f MiB resident, %d files, %d threads; at the end: %.1f MiB, %d, %d\n",
                at50.residentMiB, at50.files, at50.threads, end.residentMiB, end.files, end.threads);
    std::printf("eight boards 1 s apart / (last arrival + one board alone): ratio %.3f (target <= 1.10)\n",
                eight / (7.0 + alone));
    std::printf("32 ports, boards 0.1 s apart / (last arrival + one board alone): ratio %.3f (target <= 1.10)\n",
        many / (3.1 + alone));
    std::printf("resident memory, end / 50th board: ratio %.3f (target <= %.3f, 2 MiB more)\n",
                end.residentMiB / at50.residentMiB, (at50.residentMiB + 2) / at50.residentMiB);
    std::printf("open files, end / 50th board: ratio %.3f (target <= 1.000)\n", double(end.files) / at50.files);
    std::printf("threads, end / 50th board: ratio %.3f (target <= 1.000)\n", double(end.threads) / at50.threads);
    return 0;
}
