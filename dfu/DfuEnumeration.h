#pragma once

// Finding the maker's DFU-mode devices on the bus, and telling one from another plugged into
// the same port later.

#include <QHash>
#include <QList>
#include <QString>

// One enumeration record. The bus address tells a device from another one later plugged
// into the same port.
struct DfuDeviceRecord
{
    QString manufacturer; // the filter text it was found with
    QString product;
    QString serial;
    QString path; // the interface path
    QString busAddress; // "BUS.ADDRESS"
    quint16 vendorId = 0;
    quint16 productId = 0;
    bool operator==(const DfuDeviceRecord &o) const
    {
        return manufacturer == o.manufacturer && product == o.product && serial == o.serial && path == o.path
               && busAddress == o.busAddress;
    }
};

// What enumeration learned of one interface, kept so that a device already seen at the
// same path and bus address is not opened and asked for its strings again. A device whose
// strings could not be read is asked again now and then (not on every refresh: it may be
// slow, or lack permission until the udev rules are reloaded).
struct DfuDescriptorCacheEntry
{
    quint8 busNumber = 0;
    quint8 deviceAddress = 0;
    bool readable = false;
    // When an unreadable device was last tried (monotonic milliseconds).
    qint64 triedAtMs = 0;
    QString manufacturer;
    QString product;
    QString serial;
    quint16 vendorId = 0;
    quint16 productId = 0;
};
using DfuDescriptorCache = QHash<QString, DfuDescriptorCacheEntry>;

// The present DFU-mode interfaces whose manufacturer and product strings equal the
// filters (an empty filter accepts anything), in bus order. An interface that cannot be
// opened or described is left out, with one warning. With a cache, devices seen before
// cost no request, and an unreadable one is tried again at most every 5 s.
QList<DfuDeviceRecord> enumerateDfuDevices(
    const QString &manufacturerFilter, const QString &productFilter, DfuDescriptorCache *cache = nullptr);

// Where the DFU-mode device at `path` is on its bus now ("BUS.ADDRESS"); empty when none is.
QString dfuBusAddressAt(const QString &path);
// Whether the device at `path` is still the one that was there at `busAddress`: a device
// plugged into the same port since has another address, and must not be worked on with
// what was learned of the first. Warns when it is not.
bool sameDfuDevice(const QString &path, const QString &busAddress);
