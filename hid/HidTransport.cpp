#include "HidTransport.h"

#include "Maker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <hidapi.h>

#include <algorithm>

namespace {

constexpr int PollMs = 10;
// Reports queued before a request are stale; a device that streams them without end must
// not hold the exchange in its drain.
constexpr int MaxStaleReports = 64;

QString fromWide(const wchar_t *text)
{
    return text ? QString::fromWCharArray(text) : QString();
}

} // namespace

HidTransport::~HidTransport()
{
    close();
}

bool HidTransport::open(const QString &path)
{
    close();
    handle = hid_open_path(path.toLocal8Bit().constData());
    if (!handle) {
        if (path != refusedPath)
            qWarning().noquote()
                << "HID: cannot open" << path << "(" + fromWide(hid_error(nullptr)) + ")."
                << QStringLiteral("Without permission on its hidraw node, %1.").arg(QLatin1String(UdevRulesHint));
        refusedPath = path;
        return false;
    }
    refusedPath.clear();
    openPath = path;
    hid_set_nonblocking(handle, 1);
    return true;
}

void HidTransport::close()
{
    if (handle)
        hid_close(handle);
    handle = nullptr;
    openPath.clear();
}

QString HidTransport::takeSilentPath()
{
    QString path;
    path.swap(silentPath);
    return path;
}

int HidTransport::exchange(const quint8 *request, int requestLength, int answerLength, quint8 *answer, bool noAnswer)
{
    const size_t writeSize = size_t(std::clamp(requestLength, 0, AnswerCapacity));
    const size_t readSize = size_t(std::clamp(answerLength, 0, AnswerCapacity));
    std::fill(answer, answer + AnswerCapacity, quint8(0));
    // Stale reports go to a buffer of their own: none of their bytes may pass for the answer.
    quint8 stale[AnswerCapacity];
    for (int n = 0; handle && n < MaxStaleReports && hid_read(handle, stale, readSize) > 0; ++n) {
    }
    if (!handle)
        return -1;
    if (hid_write(handle, request, writeSize) < 0) {
        qWarning().noquote() << "HID: write failed:" << fromWide(hid_error(handle));
        close();
        return -1;
    }
    if (noAnswer) {
        close();
        return 0;
    }

    QElapsedTimer waited;
    waited.start();
    for (;;) {
        // Event processing below may run a refresh that closes the device.
        if (!handle)
            return -1;
        const int n = hid_read(handle, answer, readSize);
        if (n > 0)
            return n;
        if (n < 0) {
            qWarning().noquote() << "HID: read error:" << fromWide(hid_error(handle));
            close();
            return -1;
        }
        // Without a bound a device that never answers would hold the window in this loop.
        if (waited.elapsed() >= AnswerWaitMs) {
            qWarning("HID: no answer within %d ms; the device is closed.", AnswerWaitMs);
            silentPath = openPath;
            close();
            return -1;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(PollMs);
    }
}

QList<HidDeviceInfo> HidTransport::devices(const QString &manufacturer)
{
    QList<HidDeviceInfo> found;
    hid_device_info *devices = hid_enumerate(0, 0);
    for (const hid_device_info *d = devices; d; d = d->next) {
        const QString maker = fromWide(d->manufacturer_string);
        if (maker != manufacturer)
            continue;
        HidDeviceInfo info;
        info.manufacturer = maker;
        info.product = fromWide(d->product_string);
        info.path = QString::fromLocal8Bit(d->path);
        info.serial = fromWide(d->serial_number);
        info.vendorId = d->vendor_id;
        info.productId = d->product_id;
        info.family = hidFamilyOf(info.product);
        found.append(info);
    }
    hid_free_enumeration(devices);
    return found;
}

QList<QStringList> HidTransport::enumerate(const QString &manufacturer)
{
    QList<QStringList> records;
    for (const HidDeviceInfo &d : devices(manufacturer))
        records.append({d.manufacturer, d.product, d.path, d.serial});
    return records;
}

HidFamily hidFamilyOf(const QString &product)
{
    return product.contains(QLatin1String("OtterNINE")) ? HidFamily::ShortFrames : HidFamily::Standard;
}
