// The tool's own figures on the demo's simulated products, in one run:
// - the time from the "Yes" of the download question to "Upgrade completed" for a 512 KiB
//   image on the realistic timing, against the time the device itself was busy;
// - the tool's CPU use while idle for N seconds (60 by default) with one device in
//   application mode and one in DFU mode connected.
// Usage: bench_window [IDLE_SECONDS]; run on the offscreen platform.

#include "CpuTime.h"
#include "DemoBoards.h"
#include "DemoRoad.h"
#include "DfuFileFormat.h"
#include "MainWindow.h"
#include "World.h"

#include "ConfigCipher.h"
#include "ConfigFile.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

bool writeFiles(const QTemporaryDir &dir)
{
    ConfigCipher cipher(ConfigurationKey);
    QFile config(dir.filePath(QLatin1String(ConfigurationFileName)));
    if (!config.open(QIODevice::WriteOnly)
        || config.write(cipher.encryptBytes("Tolvex Demo Board,fw_main_v2\nOtterNINE Demo,otter9_app\n")) < 0)
        return false;
    std::vector<uint8_t> firmware(512 * 1024);
    for (size_t i = 0; i < firmware.size(); ++i)
        firmware[i] = uint8_t(i * 29 + (i >> 9));
    // The version text where the device reads it.
    const char version[9] = "V1.1";
    std::copy(version, version + sizeof version, firmware.begin() + 0x200);
    dfulib::Target target;
    target.alternate = 1;
    target.name = "fw_main_v2";
    target.elements.emplace_back(demo::FlashStart, std::move(firmware));
    std::vector<uint8_t> bytes;
    if (dfulib::buildFile(0x1209, 0x2A17, 0x0100, {target}, bytes) != DFU_OK)
        return false;
    QFile file(dir.filePath(QStringLiteral("512k.dfu")));
    return file.open(QIODevice::WriteOnly) && file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}

void sleepWithEvents(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    QTemporaryDir dir;
    if (!dir.isValid() || !writeFiles(dir) || !QDir::setCurrent(dir.path())) {
        std::fprintf(stderr, "bench_window: cannot write the files\n");
        return 1;
    }
    const sim::Board standard = demo::makeBoard(false, sim::Timing::Realistic, 300);
    const sim::Board otter = demo::makeBoard(true, sim::Timing::Realistic, 300);
    sim::World::instance().plug(standard.app);

    MainWindow window;
    window.show();
    DemoRoad road(window);
    if (!road.waitForAppVersion(QStringLiteral("V1.0")) || !road.enterDfuMode(QLatin1String(demo::StandardProduct))
        || !road.chooseFile(dir.filePath(QStringLiteral("512k.dfu")))) {
        std::fprintf(stderr, "bench_window: %s\n", qPrintable(road.error()));
        return 1;
    }

    // The clock starts as "Yes" is pressed.
    QElapsedTimer sinceYes;
    uint64_t busyBefore = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->windowTitle() != QLatin1String("Download"))
            return;
        answer.stop();
        busyBefore = standard.dfu->busyMilliseconds();
        sinceYes.start();
        box->button(QMessageBox::Yes)->click();
    });
    answer.start(5);
    window.findChild<QPushButton *>(QStringLiteral("pb_DownloadDfu"))->click();
    const qint64 wallMs = sinceYes.elapsed();
    const uint64_t busyMs = standard.dfu->busyMilliseconds() - busyBefore;
    const QString status = window.findChild<QLabel *>(QStringLiteral("lbl_Status"))->text();
    std::printf("download of 512 KiB, realistic timing: %s\n", qPrintable(status));
    std::printf("  from Yes to \"Upgrade completed\": %.2f s\n", double(wallMs) / 1000);
    std::printf("  device busy (work and requested waits): %.2f s\n", double(busyMs) / 1000);
    std::printf("  ratio: %.3f (the window looks at the operation once a second)\n",
                busyMs ? double(wallMs) / double(busyMs) : 0.0);

    // Idle: the updated device back in application mode, the other product in DFU mode.
    if (!road.waitForAppVersion(QStringLiteral("V1.1"))) {
        std::fprintf(stderr, "bench_window: %s\n", qPrintable(road.error()));
        return 1;
    }
    sim::World::instance().plug(otter.dfu);
    sleepWithEvents(3000);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer idle;
    idle.start();
    sleepWithEvents(idleSeconds * 1000);
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = double(idle.elapsed()) / 1000;
    std::printf("idle for %.0f s with an application-mode and a DFU-mode device connected:\n", wall);
    std::printf("  CPU %.3f s, %.2f %% of one core\n", cpu, 100 * cpu / wall);
    return status == QLatin1String("Upgrade completed") ? 0 : 1;
}
