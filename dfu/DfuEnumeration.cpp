#include "DfuEnumeration.h"

#include "LibraryLog_p.h"
#include "dfulib.h"

#include <QElapsedTimer>
#include <QSet>
#include <QtDebug>

#include <algorithm>
#include <vector>

namespace {

// A string descriptor holds at most 126 characters, each one byte here: read in full, two
// serials that differ only at their end are two serials.
constexpr uint32_t StringBufferSize = 128;
constexpr qint64 UnreadableRetryMs = 5000;

const QElapsedTimer &unreadableClock()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock;
}

// One walk of the bus: room for more DFU interfaces than anyone plugs in, and a second
// walk only if there are more still.
std::vector<DfuPresentInterface> presentInterfaces()
{
    routeDfuLibraryLog();
    std::vector<DfuPresentInterface> present(16);
    uint32_t count = 0;
    if (DFUDEV_Enumerate(present.data(), uint32_t(present.size()), &count) != DFU_OK)
        return {};
    if (count > present.size()) {
        present.resize(count);
        if (DFUDEV_Enumerate(present.data(), uint32_t(present.size()), &count) != DFU_OK)
            return {};
    }
    present.resize(std::min<size_t>(present.size(), count));
    return present;
}

QString busAddressText(const DfuPresentInterface &p)
{
    return QStringLiteral("%1.%2").arg(p.busNumber).arg(p.deviceAddress);
}

DfuDescriptorCacheEntry describe(const DfuPresentInterface &present)
{
    DfuDescriptorCacheEntry entry;
    entry.busNumber = present.busNumber;
    entry.deviceAddress = present.deviceAddress;
    DfuDeviceHandle handle = 0;
    if (DFUDEV_Open(present.path, &handle) != DFU_OK)
        return entry;
    DfuUsbDeviceDescriptor descriptor;
    char text[StringBufferSize];
    if (DFUDEV_GetDeviceDescriptor(&handle, &descriptor) == DFU_OK
        && DFUDEV_GetStringDescriptor(&handle, descriptor.iManufacturer, text, sizeof text) == DFU_OK) {
        entry.manufacturer = QString::fromLatin1(text);
        entry.vendorId = descriptor.idVendor;
        entry.productId = descriptor.idProduct;
        if (DFUDEV_GetStringDescriptor(&handle, descriptor.iProduct, text, sizeof text) == DFU_OK) {
            entry.product = QString::fromLatin1(text);
            entry.readable = true;
            if (DFUDEV_GetStringDescriptor(&handle, descriptor.iSerialNumber, text, sizeof text) == DFU_OK)
                entry.serial = QString::fromLatin1(text);
        }
    }
    DFUDEV_Close(&handle);
    return entry;
}

} // namespace

QList<DfuDeviceRecord> enumerateDfuDevices(
    const QString &manufacturerFilter, const QString &productFilter, DfuDescriptorCache *cache)
{
    QList<DfuDeviceRecord> records;
    const std::vector<DfuPresentInterface> present = presentInterfaces();
    QSet<QString> seen;
    for (const DfuPresentInterface &p : present) {
        const QString path = QString::fromLocal8Bit(p.path);
        seen.insert(path);
        DfuDescriptorCacheEntry entry;
        const auto cached = cache ? cache->constFind(path) : DfuDescriptorCache::const_iterator();
        const bool sameDevice = cache && cached != cache->constEnd() && cached->busNumber == p.busNumber
                                && cached->deviceAddress == p.deviceAddress;
        if (sameDevice && (cached->readable || unreadableClock().elapsed() - cached->triedAtMs < UnreadableRetryMs)) {
            entry = *cached;
        } else {
            entry = describe(p);
            if (!entry.readable) {
                entry.triedAtMs = unreadableClock().elapsed();
                // Warned once per plug-in; the retries are silent.
                if (!sameDevice)
                    qWarning().noquote() << "DFU: cannot read the strings of the device at" << path
                                         << "; it is not listed (tried again every 5 s).";
            }
            if (cache)
                cache->insert(path, entry);
        }
        if (!entry.readable)
            continue;
        if (!manufacturerFilter.isEmpty() && entry.manufacturer != manufacturerFilter)
            continue;
        if (!productFilter.isEmpty() && entry.product != productFilter)
            continue;
        records.append(DfuDeviceRecord{
            manufacturerFilter, entry.product, entry.serial, path, busAddressText(p), entry.vendorId, entry.productId});
    }
    if (cache) {
        for (auto it = cache->begin(); it != cache->end();)
            it = seen.contains(it.key()) ? std::next(it) : cache->erase(it);
    }
    return records;
}

QString dfuBusAddressAt(const QString &path)
{
    for (const DfuPresentInterface &p : presentInterfaces()) {
        if (QString::fromLocal8Bit(p.path) == path)
            return busAddressText(p);
    }
    return QString();
}

bool sameDfuDevice(const QString &path, const QString &busAddress)
{
    if (!busAddress.isEmpty() && dfuBusAddressAt(path) == busAddress)
        return true;
    qWarning().noquote() << "DFU: the device at" << path << "is not the one connected; nothing is done.";
    return false;
}
