#pragma once

#include "Maker.h"

#include <QList>
#include <QString>
#include <QStringList>

// One application-mode device found by enumeration, identified by its device path.
struct AppDeviceEntry
{
    int index = 0;
    QString manufacturer;
    QString product;
    QString path;
    int connected = 0;
    // Times this plug-in did not answer in time; past MaxSilentTries it is left alone.
    int silentTries = 0;
    QString serial;
};

// The maker's application-mode devices present; entry 0 is the one worked with. Opens
// and closes devices through the process-wide hidTransport.
class AppDeviceList
{
public:
    // A device slow to answer is asked again by later refreshes, this many times per plug-in.
    static constexpr int MaxSilentTries = 3;

    // Re-enumerates: entries whose device left go (the open one is closed first), new
    // devices are appended; the others keep their place and fields, except that the entry
    // whose device the transport gave up for not answering is marked not connected.
    void refresh();
    QStringList productNames();
    AppDeviceEntry selectedDevice() const;
    // Selects entry `position` and opens it; true if the device was opened. A device that
    // stayed silent MaxSilentTries times is not opened again until it is replugged.
    bool connect(int position);

    int selectedPosition() const { return selected; }
    const QList<AppDeviceEntry> &devices() const { return entries; }

private:
    QString manufacturerFilter = QString::fromLatin1(MakerManufacturer);
    QList<AppDeviceEntry> entries;
    int selected = -1;
};
