#pragma once

// What enumeration tells of one application-mode device, and which protocol family it
// speaks: the window and tolvex-dfu read both from here rather than each comparing names.

#include <QString>

enum class HidFamily {
    Standard,    // 16/64-byte reports: command 0x10 reports the version; 0xE0/0xE1 enter DFU mode
    ShortFrames, // 8-byte reports: command 0x66 checks the device, which reports no version
};

// The family of a product, by its product string.
HidFamily hidFamilyOf(const QString &product);

struct HidDeviceInfo
{
    QString manufacturer;
    QString product;
    QString path;
    QString serial;
    quint16 vendorId = 0;
    quint16 productId = 0;
    HidFamily family = HidFamily::Standard;
};
