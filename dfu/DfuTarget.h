#pragma once

#include <QString>

// The DFU-mode device the tool is connected to and the DFU operation it runs.
// There is exactly one, the process-wide dfuTarget below; it starts zeroed.
class DfuTarget
{
public:
    DfuTarget() = default;
    DfuTarget(const DfuTarget &) = delete;
    DfuTarget &operator=(const DfuTarget &) = delete;

    quint8 upgradePending = 0;
    quint16 fileVendorId = 0;
    quint16 fileProductId = 0;
    quint16 fileRelease = 0;
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint16 deviceRelease = 0;
    quint32 alternateCount = 0;
    quint32 operationCode = 0;
    QString uploadPath;
};

// Constructed before main() with the other process-wide objects, in start-up order.
extern DfuTarget dfuTarget;
