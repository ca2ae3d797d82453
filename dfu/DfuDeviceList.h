#pragma once

#include <QList>
#include <QString>

// One DFU-mode device found by enumeration, identified by its interface path.
struct DfuDeviceEntry
{
    QString manufacturer;
    QString product;
    QString serial;
    QString path;
};

// The DFU-mode devices present; entry 0 is the one worked with.
struct DfuDeviceList
{
    QList<DfuDeviceEntry> entries;
    int selected = -1;
};
