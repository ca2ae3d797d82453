#pragma once

#include "DfuTarget.h"
#include "Maker.h"

#include <QList>
#include <QString>
#include <QStringList>

// One DFU-mode device found by enumeration, identified by its interface path, bus address
// and serial.
struct DfuDeviceEntry
{
    int index = 0;
    QString manufacturer = QString::fromLatin1(MakerManufacturer);
    QString product;
    QString serial;
    QString path;
    // "BUS.ADDRESS": with the path, what tells this device from one plugged in after it.
    QString busAddress;
    int connected = 0;
};

// The maker's devices present in DFU mode; entry 0 is the one worked with.
class DfuDeviceList
{
public:
    // Re-enumerates: entries whose device left go, new devices are appended; the others
    // keep their place and fields. A device replaced on the same port between two
    // refreshes is a new device: the old entry goes, the new one is appended.
    void refresh();
    QStringList productNames();
    DfuDeviceEntry selectedDevice() const;
    // Marks entry `position` connected and opens it through dfuTarget; DfuTarget's code.
    int connect(int position);
    void release(int position);

    int selectedPosition() const { return selected; }
    const QList<DfuDeviceEntry> &devices() const { return entries; }

private:
    QString manufacturerFilter = QString::fromLatin1(MakerManufacturer);
    QString productFilter;
    QList<DfuDeviceEntry> entries;
    int selected = -1;
    DfuDescriptorCache descriptors;
};
