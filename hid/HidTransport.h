#pragma once

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
    // polls. Returns the size of the answer read into `answer`, or 0 when none was read;
    // then the transport is closed unless `noAnswer` was the reason.
    int exchange(const quint8 *request, int requestLength, int answerLength, quint8 *answer, bool noAnswer);
    // [manufacturer, product, path] of every HID device whose manufacturer string is exactly
    // `manufacturer`, in enumeration order.
    QList<QStringList> enumerate(const QString &manufacturer);

private:
    hid_device_ *handle = nullptr;
    // The path whose open failure was reported last: the list retries every 500 ms, and
    // the warning is worth giving once.
    QString refusedPath;
};

// Constructed before main() with the other process-wide objects, in start-up order.
extern HidTransport hidTransport;
