#include "DemoRoad.h"

#include "MainWindow.h"
#include "ModalAnswerer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include <cstdio>

namespace {

const char VersionPrefix[] = "Current Firmware Version : ";

void step(const QString &text)
{
    std::printf("== %s\n", qPrintable(text));
    std::fflush(stdout);
}

} // namespace

DemoRoad::DemoRoad(MainWindow &w, QString pictureFolder) : window(w), folder(std::move(pictureFolder)) {}

QString DemoRoad::label(const char *name) const
{
    const auto *l = window.findChild<QLabel *>(QString::fromLatin1(name));
    return l ? l->text() : QString();
}

bool DemoRoad::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

void DemoRoad::picture(const char *name)
{
    if (folder.isEmpty())
        return;
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    if (window.grab().save(path))
        std::printf("   picture: %s\n", qPrintable(path));
    else
        std::printf("   cannot save the picture %s\n", qPrintable(path));
}

bool DemoRoad::waitForAppVersion(const QString &version, int timeoutMs)
{
    const QString expected = QLatin1String(VersionPrefix) + version;
    if (waitUntil([&] { return label("labfirwareVer") == expected && !QApplication::activeModalWidget(); }, timeoutMs))
        return true;
    failure = QStringLiteral("the application-mode group shows \"%1\", not \"%2\"").arg(label("labfirwareVer"), expected);
    return false;
}

bool DemoRoad::enterDfuMode(const QString &product, int timeoutMs)
{
    window.findChild<QPushButton *>(QStringLiteral("pb_GoToDfuMode"))->click();
    if (waitUntil([&] { return label("lbl_DfuDeviceName") == product && !QApplication::activeModalWidget(); },
                  timeoutMs))
        return true;
    failure = QStringLiteral("the DFU-mode group shows \"%1\", not \"%2\"").arg(label("lbl_DfuDeviceName"), product);
    return false;
}

bool DemoRoad::chooseFile(const QString &path)
{
    ModalAnswerer choose(path, QStringLiteral("Open Document"));
    window.findChild<QPushButton *>(QStringLiteral("pb_SelectDfuFile"))->click();
    if (label("labDFUfileName") == QFileInfo(path).fileName())
        return true;
    failure = QStringLiteral("the file chosen reads \"%1\"").arg(label("labDFUfileName"));
    return false;
}

QString DemoRoad::download()
{
    // The download runs in the slot's own waits; a timer still fires in them.
    bool taken = false;
    QElapsedTimer since;
    since.start();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const int percent = window.findChild<QProgressBar *>(QStringLiteral("progressBar"))->value();
        const QString status = label("lbl_Status");
        const bool working = status == QLatin1String("Erasing...") || status == QLatin1String("Upgrading...");
        if (!taken && working && ((percent >= 30 && percent < 100) || since.elapsed() > 6000)) {
            taken = true;
            picture("download-in-progress.png");
        }
    });
    watch.start(50);
    ModalAnswerer yes(QStringLiteral("Yes"), QStringLiteral("Download"));
    window.findChild<QPushButton *>(QStringLiteral("pb_DownloadDfu"))->click();
    return label("lbl_Status");
}

QString DemoRoad::upload(const QString &path)
{
    ModalAnswerer save(path, QStringLiteral("Open Document"));
    QMetaObject::invokeMethod(&window, "on_pb_UploadDfu_clicked");
    return label("lbl_Status");
}

int DemoRoad::run(const QString &file, const QString &dfuProduct)
{
    const auto failed = [this](const char *what) {
        std::printf("!! %s: %s\n", what, qPrintable(failure));
        return 1;
    };
    step(QStringLiteral("1. A device in application mode is connected and shows its firmware version V1.0"));
    if (!waitForAppVersion(QStringLiteral("V1.0")))
        return failed("no application-mode device");
    picture("idle-window.png");

    step(QStringLiteral("2. \"Go to DFU mode\": the device restarts in its boot loader"));
    if (!enterDfuMode(dfuProduct))
        return failed("the device did not appear in DFU mode");
    picture("dfu-mode.png");

    step(QStringLiteral("3. \"Select DFU File\": %1").arg(QFileInfo(file).fileName()));
    if (!chooseFile(file))
        return failed("the file was not taken");
    picture("file-chosen.png");

    step(QStringLiteral("4. \"Download DFU to device\", answered Yes: erasing, then upgrading"));
    const QString status = download();
    std::printf("   status: %s, time %s\n", qPrintable(status), qPrintable(label("lbl_operationTime")));
    picture("download-finished.png");
    if (status != QLatin1String("Upgrade completed")) {
        failure = status;
        return failed("the download did not complete");
    }

    step(QStringLiteral("5. The device returns to application mode with its new firmware V1.1"));
    if (!waitForAppVersion(QStringLiteral("V1.1")))
        return failed("the new version is not shown");
    picture("new-version.png");
    step(QStringLiteral("Done: the firmware was updated from V1.0 to V1.1."));
    return 0;
}
