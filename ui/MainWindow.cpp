#include "MainWindow.h"

#include "Central.h"

#include "HidDevice.h"
#include "MainWindowForm.h"
#include "ProcessRandom.h"

#include "DfuTarget.h"
#include "Devices.h"
#include "Release.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>

namespace {

constexpr int RefreshIntervalMs = 500;
constexpr int ConnectingDialogMs = 999;
constexpr int DownloadPollMs = 1000;
constexpr int UploadPollMs = 100;
constexpr int EventStepMs = 10;
enum Colour { Red = 0, Green = 1, Cyan = 2 };

const char NoFileText[] = "File Selected : None";
// Products of this family take the 8-byte command frames.

const char ProductName[] = "Tolvex DFU Tool";

quint8 randomSequenceStart()
{
    return static_cast<quint8>(processRandom() % 256);
}

QString progressBarStyle(const char *chunkColour)
{
    return QStringLiteral("QProgressBar {border: 2px solid grey;border-radius: 5px;text-align: center;} "
                          "QProgressBar::chunk {background-color: %1;width: 20px;}")
        .arg(QLatin1String(chunkColour));
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowForm)
    , hidCommands(randomSequenceStart())
    , dfuEntryCommands(randomSequenceStart())
{
    ui->setupUi(this);

    connect(&hidRefreshTimer, &QTimer::timeout, this, &MainWindow::refreshHidDevList);
    connect(&dfuRefreshTimer, &QTimer::timeout, this, &MainWindow::refreshDfuDevList);

    setWindowTitle(QString::fromLatin1(ProductName) + QStringLiteral(" - ") + QStringLiteral(TOLVEX_VERSION));
    initialRefresh();
    ui->lbl_Status->setText(QStringLiteral("No operation"));
    ui->progressBar->setValue(0);
    ui->pb_DownloadDfu->setEnabled(false);

    if (loadConfiguration()) {
        hidRefreshTimer.start(RefreshIntervalMs);
        dfuRefreshTimer.start(RefreshIntervalMs);
    }
}

MainWindow::~MainWindow()
{
    // The rows still queued get a few seconds; what is not recorded is said.
    if (history) {
        history->drain();
        for (const QString &problem : history->takeProblems())
            qWarning().noquote() << problem;
    }
    delete ui;
}

void MainWindow::setProgressBarColour(int code)
{
    switch (code) {
    case 0:
        ui->progressBar->setStyleSheet(progressBarStyle("rgb(255, 0, 0)"));
        break;
    case 1:
        ui->progressBar->setStyleSheet(progressBarStyle("rgb(0, 255, 0)"));
        break;
    case 2:
        ui->progressBar->setStyleSheet(progressBarStyle("rgb(0, 255, 255)"));
        break;
    default:
        break;
    }
}

void MainWindow::initialRefresh()
{
    showAppDevice(false);
    showDfuDevice(false);
}

bool MainWindow::loadConfiguration()
{
    const LoadedConfiguration config = readConfiguration(QString::fromLatin1(ConfigurationFileName));
    if (config.result == LoadedConfiguration::Missing) {
        QMessageBox::critical(this, QStringLiteral("Opening File"), QStringLiteral("Unable to open Configuration file"),
                              QMessageBox::Ok, QMessageBox::NoButton);
        // The event loop has not started yet, so a plain quit() would be lost: queue
        // the exit so that it ends the loop as soon as main() enters it.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        return false;
    }
    // The tool runs on without products then; say why none is ever permitted.
    if (config.result == LoadedConfiguration::Undecryptable)
        qWarning("Config.ini does not decrypt (error %d): no product has a permitted image.", config.cipherError);
    qDebug().nospace() << "Decryted  File = " << config.text;
    imageNameList.append(config.names);
    qDebug().noquote() << imageNameListDebugText(imageNameList);
    currentImageName.clear();
    connectedProductName.clear();
    return true;
}

std::unique_ptr<QProgressDialog> MainWindow::showConnectingDialog()
{
    auto progress = std::make_unique<QProgressDialog>(this);
    progress->setLabelText(QStringLiteral("Connecting..."));
    progress->setCancelButton(nullptr);
    progress->setRange(0, 0);
    progress->setWindowModality(Qt::WindowModal);
    progress->show();
    QElapsedTimer shown;
    shown.start();
    while (shown.elapsed() <= ConnectingDialogMs) {
        QCoreApplication::processEvents();
        QThread::msleep(EventStepMs);
    }
    return progress;
}

void MainWindow::showAppDevice(bool connected)
{
    ui->groupBox_AppMode->setEnabled(connected);
    if (!connected) {
        ui->lbl_AppDeviceName->setText(QStringLiteral("N/A"));
        ui->labfirwareVer->setText(QString());
        return;
    }
    const QString path = appDevices.selectedDevice().path;
    const std::unique_ptr<QProgressDialog> progress = showConnectingDialog();
    // The device may have gone during the wait; the name of a device that is not there
    // must not be shown.
    appDevices.refresh();
    if (appDevices.selectedDevice().path != path) {
        progress->close();
        if (appDevices.selectedDevice().connected != 1)
            showAppDevice(false);
        return;
    }
    ui->lbl_AppDeviceName->setText(appDevices.selectedDevice().product);
    ui->labfirwareVer->setText(QStringLiteral("Current Firmware Version : ") + firmwareVersionText);
    progress->close();
    // While a DFU operation runs (a board plugged in during a download connects from its
    // nested event loop), the status line and the bar are the operation's.
    if (!dfuOperationRunning) {
        ui->lbl_Status->setText(QStringLiteral("No operation"));
        ui->progressBar->setValue(0);
    }
}

QString MainWindow::firmwareVersionFromAnswer(const HidAnswer &answer)
{
    return versionTextFromAnswer(answer);
}

void MainWindow::showDfuDevice(bool connected)
{
    ui->groupBox_DfuMode->setEnabled(connected);
    if (!connected) {
        ui->lbl_DfuDeviceName->setText(QStringLiteral("N/A"));
        return;
    }
    const QString path = dfuDevices.selectedDevice().path;
    const std::unique_ptr<QProgressDialog> progress = showConnectingDialog();
    // The device may have gone during the wait (a nested refresh may even have connected
    // the next one); the name of a device that is not there must not be shown.
    dfuDevices.refresh();
    if (dfuDevices.selectedDevice().path != path) {
        progress->close();
        if (dfuDevices.selectedDevice().connected != 1) {
            forgetDfuDevice();
            showDfuDevice(false);
        }
        return;
    }
    const QString product = dfuDevices.selectedDevice().product;
    ui->lbl_DfuDeviceName->setText(product);
    // Another device's permitted name must never pass for this one's.
    currentImageName = permittedImageName(imageNameList, product);
    if (!currentImageName.isEmpty())
        qDebug() << currentImageName;
    if (currentImageName.isEmpty())
        QMessageBox::critical(this, QStringLiteral("Image name Error"),
                              QStringLiteral("DFU file Image name does not exist in Config file"), QMessageBox::Ok,
                              QMessageBox::NoButton);
    progress->close();
}

void MainWindow::forgetDfuDevice()
{
    currentDfuDevice.connected = 0;
    currentDfuDevice.path.clear();
    currentImageName.clear();
}

void MainWindow::showOperationTime(const QElapsedTimer &total)
{
    ui->lbl_operationTime->setText(QString::number(total.elapsed() / 1000) + QLatin1Char('s'));
}

void MainWindow::downloadWaitStep(const QElapsedTimer &total, const QElapsedTimer &poll)
{
    while (poll.elapsed() < DownloadPollMs) {
        showOperationTime(total);
        QCoreApplication::processEvents();
        QThread::msleep(EventStepMs);
    }
}

void MainWindow::endDfuOperation(const char *status, int colour)
{
    ui->lbl_Status->setText(QString::fromLatin1(status));
    if (colour == Green)
        ui->progressBar->setValue(100);
    setProgressBarColour(colour);
    dfuOperationRunning = false;
    if (roadOpen)
        finishHistoryRow(
            colour == Green ? update::Road::Outcome::Done : update::Road::Outcome::Failed, QString::fromLatin1(status));
}

void MainWindow::beginHistoryRow()
{
    if (!history) {
        // The central history and settings of central.conf, where the machine or the user has one.
        update::HistorySettings settings;
        const Outcome read = update::historySettings(QString(), settings);
        if (!read)
            qWarning().noquote() << QStringLiteral("Central history:") << read.message();
        history = std::make_unique<update::HistoryWriter>(update::History::defaultPath(), settings);
    }
    awaitingVersion = false;
    road = update::Road();
    road.uuid = update::newRowId();
    road.program = QStringLiteral("window");
    road.started = QDateTime::currentDateTimeUtc();
    road.location = update::dfuLocation(currentDfuDevice.path);
    road.bootProduct = currentDfuDevice.product;
    road.bootSerial = currentDfuDevice.serial;
    road.product = boardInDfu.product;
    road.serial = boardInDfu.serial;
    road.versionBefore = boardInDfu.version;
    road.filePath = dfuFilePath;
    // The bytes the launch read, not a second read of the file.
    road.fileSha256 = dfuTarget.fileSha256();
    road.fileRelease = dfuTarget.fileRelease;
    road.imageName = currentImageName;
    roadOpen = true;
    history->put(update::historyRow(road));
}

void MainWindow::finishHistoryRow(update::Road::Outcome outcome, const QString &message)
{
    // The context tells of this download only once it was launched.
    if (historyLaunched) {
        const DfuProgress c = dfuTarget.contextSnapshot();
        road.sectorsTouched = c.sectorsTouched;
        road.sectorsKept = c.sectorsKept;
        if (c.phase == DfuProgress::Phase::Done)
            road.bytesVerified = c.bytesDone;
    }
    historyLaunched = false;
    road.outcome = outcome;
    road.message = message;
    road.ended = QDateTime::currentDateTimeUtc();
    road.elapsedMs = road.started.msecsTo(road.ended);
    roadOpen = false;
    awaitingVersion = outcome == update::Road::Outcome::Done;
    history->put(update::historyRow(road));
}

void MainWindow::recordVersionAfter()
{
    // The board back at the port of the download, and no other: its own serial, where it was
    // known before, must be the same.
    if (!awaitingVersion || lastApp.location.isEmpty() || lastApp.location != road.location)
        return;
    awaitingVersion = false;
    if (!road.serial.isEmpty() && road.serial != lastApp.serial)
        return;
    road.product = lastApp.product;
    road.serial = lastApp.serial;
    road.versionAfter = lastApp.version;
    history->put(update::historyRow(road));
}

void MainWindow::on_pb_GoToDfuMode_clicked()
{
    if (!sendIntoDfuMode(dfuEntryCommands, hidFamilyOf(connectedProductName)))
        QMessageBox::warning(this, QStringLiteral("Enter DFU Mode"), QStringLiteral("Enter DFU Fail."), QMessageBox::Ok,
                             QMessageBox::NoButton);
}

void MainWindow::on_pb_DownloadDfu_clicked()
{
    if (dfuOperationRunning)
        return;
    QElapsedTimer total;
    total.start();
    const QString fileName = QFileInfo(dfuFilePath).fileName();
    // A file name is shown as it is, never as markup.
    QMessageBox question(QMessageBox::Question, QStringLiteral("Download"),
                         QStringLiteral("Are you sure, you want to Download \"%1\" file into the device ?").arg(fileName),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setTextFormat(Qt::PlainText);
    if (question.exec() != QMessageBox::Yes || dfuFilePath.isEmpty())
        return;

    dfuOperationRunning = true;
    const int launched = dfuTarget.launchDownload(dfuFilePath, currentImageName, currentDfuDevice.path);
    beginHistoryRow();
    if (launched == DfuTarget::WrongImageName) {
        finishHistoryRow(update::Road::Outcome::Refused, QStringLiteral("Wrong File"));
        dfuOperationRunning = false;
        // A signature refusal keeps the box, with its reason one click away.
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Wrong File"),
            QStringLiteral("Please select correct DFU file"), QMessageBox::Ok, this);
        box.setDetailedText(dfuTarget.signatureRefusal());
        box.exec();
        return;
    }
    ui->lbl_Status->setText(QStringLiteral("Erasing..."));
    setProgressBarColour(Cyan);
    if (launched != DfuTarget::DownloadLaunched) {
        endDfuOperation("Erase failed", Red);
        return;
    }
    historyLaunched = true;
    // The window asks nothing more than it always did; an older release is only said.
    const FirmwareRelease release = releaseOfFile(dfuTarget.fileRelease);
    if (olderThan(release, releaseOfBoard(firmwareVersionText)))
        qWarning("Download: %s is release %s, older than the firmware %s the board last reported; it is written all "
                 "the same.",
            qPrintable(fileName), qPrintable(release.text), qPrintable(firmwareVersionText));
    // One operation erases and writes, and the window polls once a second: the library may
    // have gone on to write before a failure the erase loop sees, or failed before the first
    // poll. The window then first shows the phase the library is in, so that the failure names
    // the phase on show.
    const auto eraseLoopFailed = [this] {
        const bool erasing = dfuTarget.contextSnapshot().phase <= DfuProgress::Phase::Erase;
        ui->lbl_Status->setText(erasing ? QStringLiteral("Erasing...") : QStringLiteral("Upgrading..."));
        // Shown for one event step, so that it is painted before the failure replaces it.
        QCoreApplication::processEvents();
        QThread::msleep(EventStepMs);
        QCoreApplication::processEvents();
        endDfuOperation(erasing ? "Erase failed" : "Upgrade failed", Red);
    };
    if (dfuTarget.pollOperation() != DfuTarget::PollOk) {
        eraseLoopFailed();
        return;
    }
    QElapsedTimer poll;
    poll.start();
    for (;;) {
        const DfuProgress c = dfuTarget.contextSnapshot();
        ui->progressBar->setValue(c.percent);
        if (c.percent == 100 || c.phase > DfuProgress::Phase::Erase)
            break;
        downloadWaitStep(total, poll);
        poll.restart();
        if (dfuTarget.pollOperation() != DfuTarget::PollOk) {
            eraseLoopFailed();
            return;
        }
    }

    ui->lbl_Status->setText(QStringLiteral("Upgrading..."));
    for (;;) {
        if (dfuTarget.pollOperation() != DfuTarget::PollOk) {
            endDfuOperation("Upgrade failed", Red);
            return;
        }
        const DfuProgress c = dfuTarget.contextSnapshot();
        ui->progressBar->setValue(c.percent);
        if (c.percent == 100)
            break;
        downloadWaitStep(total, poll);
        poll.restart();
    }
    endDfuOperation("Upgrade completed", Green);
    ui->pb_GoToAppMode->click();
    ui->labDFUfileName->setText(QString::fromLatin1(NoFileText));
}

void MainWindow::on_pb_UploadDfu_clicked()
{
    if (dfuOperationRunning)
        return;
    const QString file = QFileDialog::getSaveFileName(this, tr("Open Document"), QDir::currentPath(),
                                                      tr("DFU files(*.dfu)"));
    QElapsedTimer total;
    total.start();
    if (file.isEmpty())
        return;
    dfuOperationRunning = true;
    const int launched = dfuTarget.launchUpload(file, currentDfuDevice.path);
    ui->lbl_Status->setText(QStringLiteral("Uploading..."));
    setProgressBarColour(Cyan);
    int result = launched == DfuTarget::UploadLaunched ? dfuTarget.pollOperation() : DfuTarget::PollError;
    for (;;) {
        if (result != DfuTarget::PollOk) {
            endDfuOperation("Upload failed", Red);
            return;
        }
        const DfuProgress c = dfuTarget.contextSnapshot();
        ui->progressBar->setValue(c.percent);
        if (c.percent == 100)
            break;
        showOperationTime(total);
        QCoreApplication::processEvents();
        QThread::msleep(UploadPollMs);
        result = dfuTarget.pollOperation();
    }
    endDfuOperation("Upload completed", Green);
}

void MainWindow::on_pb_SelectDfuFile_clicked()
{
    // The running download reads the chosen file and resets its label when it ends.
    if (dfuOperationRunning)
        return;
    const QString filter = tr("DFU files(*.dfu)");
    const QString start = QDir::currentPath();
    const QString caption = tr("Open Document");
    dfuFilePath = QFileDialog::getOpenFileName(this, caption, start, filter);
    const QString name = QFileInfo(dfuFilePath).fileName();
    if (!name.isEmpty()) {
        ui->labDFUfileName->setText(name);
        ui->pb_DownloadDfu->setEnabled(true);
    } else {
        ui->labDFUfileName->setText(QString::fromLatin1(NoFileText));
        dfuFilePath.clear();
        ui->pb_DownloadDfu->setEnabled(false);
    }
}

void MainWindow::on_pb_GoToAppMode_clicked()
{
    if (dfuOperationRunning)
        return;
    dfuTarget.launchReturn(currentDfuDevice.path);
    forgetDfuDevice();
    dfuDevices.release(0);
    // The device is left: its handle and mapping are of no more use.
    dfuTarget.releaseDevice();
    // It stays listed until it restarts, but nothing may be done with it meanwhile.
    showDfuDevice(false);
}

void MainWindow::refreshHidDevList()
{
    if (appDevices.productNames().isEmpty()) {
        showAppDevice(false);
        return;
    }
    if (appDevices.selectedDevice().connected == 1)
        return;
    // A device that cannot be opened or does not answer is not shown, and neither is the one
    // shown before it, which has left: its name over this one would send this one into DFU mode.
    if (!appDevices.connect(0)) {
        showAppDevice(false);
        return;
    }
    connectedProductName = appDevices.selectedDevice().product;
    // The 8-byte family reports no version text; another device's must not stay on show.
    const HidVersionAnswer answer = askVersion(hidCommands, hidFamilyOf(connectedProductName));
    if (!answer.answered) {
        showAppDevice(false);
        return;
    }
    firmwareVersionText = answer.version;
    showAppDevice(true);
    const AppDeviceEntry shown = appDevices.selectedDevice();
    lastApp = {update::hidLocation(shown.path), shown.product, shown.serial, answer.version};
    recordVersionAfter();
}

void MainWindow::refreshDfuDevList()
{
    dfuTarget.reapReturns();
    if (history) {
        for (const QString &problem : history->takeProblems())
            qWarning().noquote() << problem;
    }
    if (dfuDevices.productNames().isEmpty()) {
        if (!dfuOperationRunning)
            dfuTarget.releaseDevice();
        forgetDfuDevice();
        showDfuDevice(false);
        return;
    }
    if (dfuDevices.selectedDevice().connected == 1)
        return;
    // A device sent back to its application stays listed until it restarts; opening it
    // again meanwhile would put our requests between those of the return.
    if (dfuTarget.returning(dfuDevices.devices().first().path)) {
        showDfuDevice(false);
        return;
    }
    // Whatever was worked with before has left the list or was let go.
    forgetDfuDevice();
    if (dfuDevices.connect(0) == DfuTarget::Connected) {
        currentDfuDevice = dfuDevices.selectedDevice();
        // The board last shown in application mode at this port has come in DFU mode.
        const QString location = update::dfuLocation(currentDfuDevice.path);
        boardInDfu = !location.isEmpty() && lastApp.location == location ? lastApp : ShownBoard();
        lastApp = ShownBoard();
        showDfuDevice(true);
    } else {
        // An earlier device's name must not stay on show over one that cannot be used.
        showDfuDevice(false);
    }
}
