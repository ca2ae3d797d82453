#pragma once

#include <QList>
#include <QString>

// One application-mode device found by enumeration, identified by its device path.
struct AppDeviceEntry
{
    QString manufacturer;
    QString product;
    QString path;
};

// The application-mode devices present; entry 0 is the one worked with.
struct AppDeviceList
{
    QList<AppDeviceEntry> entries;
    int selected = -1;
};
