#include "MainWindow.h"

#include "ConfigCipher.h"
#include "MainWindowForm.h"
#include "ProcessRandom.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

namespace {

constexpr int RefreshIntervalMs = 500;

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
    ConfigCipher cipher(ConfigurationKey);
    QFile file(QString::fromLatin1(ConfigurationFileName));
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageBox::critical(this, QStringLiteral("Opening File"), QStringLiteral("Unable to open Configuration file"),
                              QMessageBox::Ok, QMessageBox::NoButton);
        // The event loop has not started yet, so a plain quit() would be lost: queue
        // the exit so that it ends the loop as soon as main() enters it.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        return false;
    }

    const QString text = cipher.decryptBytesToText(file.readAll());
    qDebug().nospace() << "Decryted  File = " << text;
    imageNameList.append(splitConfigurationText(text));
    qDebug().noquote() << imageNameListDebugText(imageNameList);
    currentImageName.clear();
    connectedProductName.clear();
    return true;
}

void MainWindow::showAppDevice(bool connected)
{
    ui->groupBox_AppMode->setEnabled(connected);
    if (!connected) {
        ui->lbl_AppDeviceName->setText(QStringLiteral("N/A"));
        ui->labfirwareVer->setText(QString());
    }
}

void MainWindow::showDfuDevice(bool connected)
{
    ui->groupBox_DfuMode->setEnabled(connected);
    if (!connected)
        ui->lbl_DfuDeviceName->setText(QStringLiteral("N/A"));
}

void MainWindow::on_pb_GoToDfuMode_clicked() {}

void MainWindow::on_pb_DownloadDfu_clicked() {}

void MainWindow::on_pb_UploadDfu_clicked() {}

void MainWindow::on_pb_SelectDfuFile_clicked() {}

void MainWindow::on_pb_GoToAppMode_clicked() {}

void MainWindow::refreshHidDevList() {}

void MainWindow::refreshDfuDevList() {}
