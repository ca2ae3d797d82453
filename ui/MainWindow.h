#pragma once

#include "AppDeviceList.h"
#include "ConfigFile.h"
#include "DfuDeviceList.h"
#include "DfuEntryCommandSet.h"
#include "HidCommandSet.h"
#include "HistoryWriter.h"

#include <QElapsedTimer>
#include <QProgressDialog>
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <memory>

class MainWindowForm;

// The tool's only window and the owner of all device-side state. Every user action
// and both 500 ms device polls are slots of this class, run on the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // 0 red, 1 green, 2 cyan; any other code leaves the progress bar as it is.
    void setProgressBarColour(int code);
    // Shows both device groups without a device.
    void initialRefresh();

    // Read-only views for the tests and the demo.
    const QTimer &hidRefreshTimerState() const { return hidRefreshTimer; }
    const QTimer &dfuRefreshTimerState() const { return dfuRefreshTimer; }
    const ImageNameList &imageNames() const { return imageNameList; }
    const QString &dfuImageName() const { return currentImageName; }
    const QString &selectedDfuFile() const { return dfuFilePath; }
    const DfuDeviceEntry &connectedDfuDevice() const { return currentDfuDevice; }
    const DfuDeviceList &dfuDeviceList() const { return dfuDevices; }
    const AppDeviceList &appDeviceList() const { return appDevices; }
    const QString &appProductName() const { return connectedProductName; }

    // The firmware version text in answer bytes 3 to 11, zero bytes left out.
    static QString firmwareVersionFromAnswer(const HidAnswer &answer);

private Q_SLOTS:
    void on_pb_GoToDfuMode_clicked();
    void on_pb_DownloadDfu_clicked();
    void on_pb_UploadDfu_clicked();
    void on_pb_SelectDfuFile_clicked();
    void on_pb_GoToAppMode_clicked();
    void refreshHidDevList();
    void refreshDfuDevList();

private:
    bool loadConfiguration();
    void showAppDevice(bool connected);
    void showDfuDevice(bool connected);
    // Forgets the DFU-mode device worked with, and with it the image name it permits.
    void forgetDfuDevice();
    // The "Connecting..." busy dialog, shown for a second before a device is shown.
    std::unique_ptr<QProgressDialog> showConnectingDialog();
    // One wait of the download: about a second of event processing, the time shown.
    void downloadWaitStep(const QElapsedTimer &total, const QElapsedTimer &poll);
    void showOperationTime(const QElapsedTimer &total);
    void endDfuOperation(const char *status, int colour);
    // The history row of the download being made: begun, completed, and given the version the
    // board reports once it is back in its application.
    void beginHistoryRow();
    void finishHistoryRow(update::Road::Outcome outcome, const QString &message);
    void recordVersionAfter();

    MainWindowForm *ui;
    HidCommandSet hidCommands;
    AppDeviceList appDevices;
    DfuDeviceList dfuDevices;
    QTimer hidRefreshTimer;
    QTimer dfuRefreshTimer;
    DfuEntryCommandSet dfuEntryCommands;
    DfuDeviceEntry currentDfuDevice;
    ImageNameList imageNameList;
    QString currentImageName;
    QString connectedProductName;
    QString firmwareVersionText;
    QString dfuFilePath;
    // Set while a download or upload is being polled: the DFU buttons are ignored then,
    // since a second operation would replace the running one.
    bool dfuOperationRunning = false;
    // Every download is recorded in the update history that tolvex-dfu keeps too, by a writer
    // of its own: a locked history delays no slot.
    std::unique_ptr<update::HistoryWriter> history;
    update::Road road;
    bool roadOpen = false; // a row begun and not completed
    bool historyLaunched = false; // its download was launched: the context tells of it
    bool awaitingVersion = false; // completed done: the board's new version is still to come
    // An application-mode board as shown; the last one is the board that a DFU-mode device
    // connected next at its port is.
    struct ShownBoard
    {
        QString location, product, serial, version;
    };
    ShownBoard lastApp, boardInDfu;
};
