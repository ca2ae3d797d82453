#pragma once

#include "HidDevice.h"

#include <QList>
#include <QString>
#include <QStringList>

struct hid_device_;

// The link to the one open application-mode device. There is exactly one, the
// process-wide hidTransport below, shared by every command set and the device list.
class HidTransport
{
public:
    // The answer buffer of every exchange holds this many bytes.
    static constexpr int AnswerCapacity = 64;
    // How long an exchange waits for the answer before it gives the device up.
    static constexpr int AnswerWaitMs = 1000;

    HidTransport() = default;
    ~HidTransport();
    HidTransport(const HidTransport &) = delete;
    HidTransport &operator=(const HidTransport &) = delete;

    bool isOpen() const { return handle != nullptr; }
    bool open(const QString &path);
    void close();
    // Writes one request and waits for one answer report, processing GUI events between
    // polls. `answer` (AnswerCapacity bytes) is zeroed first, so bytes not read stay 0.
    // Returns the size of the answer read, 0 when `noAnswer` and the request went out (the
    // transport is then closed), or -1 when the exchange failed: no device open, the write
    // failed, the read failed or no answer came in time; the transport is closed then too.
    int exchange(const quint8 *request, int requestLength, int answerLength, quint8 *answer, bool noAnswer);
    // The path of the device last given up for not answering in time, handed out once:
    // the device list lets such a device be asked again later.
    QString takeSilentPath();
    // Every HID device whose manufacturer string is exactly `manufacturer`, in enumeration order.
    QList<HidDeviceInfo> devices(const QString &manufacturer);
    // The same as [manufacturer, product, path, serial] records.
    QList<QStringList> enumerate(const QString &manufacturer);

private:
    hid_device_ *handle = nullptr;
    QString openPath;
    QString silentPath;
    // The path whose open failure was reported last: the list retries every 500 ms, and
    // the warning is worth giving once.
    QString refusedPath;
};

// Constructed before main() with the other process-wide objects, in start-up order.
extern HidTransport hidTransport;
