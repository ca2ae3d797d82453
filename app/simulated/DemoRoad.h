#pragma once

// The road of one firmware update, driven through the main window as a user would drive
// it: the device in application mode, into DFU mode, choose the file, download, and the
// device back with its new version. The headless demo prints each step and saves a
// picture of it; the end-to-end test takes the steps one by one and checks more.

#include <QString>

#include <functional>

class MainWindow;

class DemoRoad
{
public:
    // Pictures go to `pictureFolder` when it is not empty.
    explicit DemoRoad(MainWindow &window, QString pictureFolder = QString());

    bool waitForAppVersion(const QString &version, int timeoutMs = 15000);
    // Presses "Go to DFU mode" and waits until the DFU-mode group shows `product`.
    bool enterDfuMode(const QString &product, int timeoutMs = 15000);
    bool chooseFile(const QString &path);
    // Presses "Download DFU to device", answers "Yes", and returns the status text at the
    // end; a picture of the download in progress is taken on the way.
    QString download();
    // The upload, invoked by name, into `path`; returns the status text at the end.
    QString upload(const QString &path);

    // The whole road with `file`; prints each step. Returns the process exit code.
    int run(const QString &file, const QString &dfuProduct);

    const QString &error() const { return failure; }

private:
    bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
    void picture(const char *name);
    QString label(const char *name) const;

    MainWindow &window;
    QString folder;
    QString failure;
};
