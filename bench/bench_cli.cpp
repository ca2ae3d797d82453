// tolvex-dfu update --all on four simulated boards against the same update of one board,
// in one run, on the ROM timing profile: each board is worked on by its own operations, so
// four should take about as long as one. Prints `CASE: ratio R (target <= T)`.

#include "BenchFiles.h"
#include "Cli.h"
#include "SimHid.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

double updateSeconds(int boards, const QString &file)
{
    QList<sim::Board> plugged;
    for (int i = 0; i < boards; ++i) {
        plugged << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 300);
        plugged.last().dfu->setTiming(sim::Timing::Realistic);
    }
    cli::Io io;
    io.out = [](const QString &) {};
    io.err = [](const QString &t) { std::fputs(t.toLocal8Bit().constData(), stderr); };
    QStringList args{QStringLiteral("update"), file};
    if (boards > 1)
        args << QStringLiteral("--all");
    QElapsedTimer clock;
    clock.start();
    const int exit = cli::run(args, io);
    const double seconds = double(clock.elapsed()) / 1000.0;
    sim::World::instance().unplugAll();
    return exit == cli::ExitDone ? seconds : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const BenchFolder folder;
    const QString firmware = writeConfigAndFirmware(512 * 1024);
    if (firmware.isEmpty())
        return 1;

    const double one = updateSeconds(1, firmware);
    const double four = updateSeconds(4, firmware);
    if (one <= 0 || four <= 0) {
        std::fprintf(stderr, "an update failed\n");
        return 1;
    }
    std::printf("tolvex-dfu update of 512 KiB, ROM profile, from application mode and back\n");
    std::printf("  one board            %8.3f s\n", one);
    std::printf("  four boards, --all   %8.3f s\n", four);
    std::printf("four boards / one board: ratio %.3f (target <= 1.15)\n", four / one);
    return 0;
}
