#pragma once

// The DFU-mode half of the road for one opened device: its identity, its memories, and the
// one operation at a time that runs on it (download, upload, return), polled to its end.

#include "ConfigFile.h"
#include "DfuHandles.h"
#include "DfuTarget.h"
#include "Devices.h"

#include <QList>
#include <QString>

namespace update {

// Every poll timeout a device reports is waited out (on), or status requests go out as soon
// as a device can answer them (off, the default). For every device of the process.
void waitOutPollTimeouts(bool on);

class DfuWork
{
public:
    DfuWork() = default;
    ~DfuWork();
    DfuWork(const DfuWork &) = delete;
    DfuWork &operator=(const DfuWork &) = delete;

    // Opens the device in DFU mode: its descriptors, a DFU version we speak, its memory
    // mapping. False with `message` set (a device without permission names the udev rules).
    bool open(const Device &device, QString &message);
    bool isOpen() const { return facts.alternateCount > 0; }

    struct Alternate
    {
        quint8 number = 0;
        QString name;
        QString layout; // in the layout string's own notation
    };
    QList<Alternate> alternates() const;
    // The memory the tool works on: the last alternate's.
    QString memoryName() const;

    struct Launch
    {
        enum Result { Launched, Refused, Failed } result = Failed;
        QString message;
    };
    // Checks `file` against the name Config.ini permits for the product as the device names
    // itself in DFU mode, and against the device's USB ids (unless `force`), chooses the image
    // of its last alternate, and launches the download (DFU_FLAG_* in `flag`). Refused: the
    // file does not fit (not permitted, other USB ids, no image for the alternate, overlapping
    // elements, outside the memory); nothing was erased.
    Launch launchDownload(const QString &file, const ImageNameList &names, int32_t flag, bool force = false);
    Launch launchReturn();
    // Reads the last alternate's memory into an image named `imageName` (its memory's name
    // when empty).
    Launch launchUpload(const QString &imageName = QString());
    // What the file's image chosen by launchDownload is called.
    const QString &imageName() const { return chosenName; }
    // The device's DFU transfer size.
    quint16 transferSize() const { return transfer; }

    struct Poll
    {
        enum State { Running, Done, Failed } state = Running;
        uint32_t phase = DFU_PHASE_IDLE;
        int percent = 0;
        quint32 done = 0;
        quint32 total = 0;
        quint32 elapsedMs = 0;
        quint16 sectorsTouched = 0; // a download's
        quint16 sectorsKept = 0;
        QString message; // Failed: what went wrong, where
    };
    Poll poll();
    // Stops the running operation, if any, between two transfers.
    void stop();
    // After a finished upload: the memory into a .dfu file, written whole or not at all.
    bool writeUpload(const QString &path, QString &message);

    const Device &device() const { return dev; }

private:
    Launch launch(int32_t operation, int32_t flag, const QString &filePath);

    Device dev;
    DfuDeviceFacts facts;
    quint16 transfer = 0;
    QString chosenName;
    dfu::Image image;
    dfu::Operation operation;
};

} // namespace update
