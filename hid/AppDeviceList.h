#pragma once

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
};

// The maker's application-mode devices present; entry 0 is the one worked with. Opens
// and closes devices through the process-wide hidTransport.
class AppDeviceList
{
public:
    // Re-enumerates: entries whose device left go (the open one is closed first), new
    // devices are appended; the others keep their place and fields.
    void refresh();
    QStringList productNames();
    AppDeviceEntry selectedDevice() const;
    // Selects entry `position` and opens it; true if the device was opened.
    bool connect(int position);

    int selectedPosition() const { return selected; }
    const QList<AppDeviceEntry> &devices() const { return entries; }

private:
    QString manufacturerFilter = QStringLiteral("Corvantis");
    QList<AppDeviceEntry> entries;
    int selected = -1;
};
