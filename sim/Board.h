#pragma once

// One simulated product: its application-mode HID device and its DFU boot loader, sharing
// one flash. Entering DFU mode takes the HID device off the bus and brings the boot loader
// on; leaving DFU mode does the reverse, each after a short restart delay.

#include "model/HidAppDeviceModel.h"

namespace sim {

struct Board
{
    std::shared_ptr<HidAppDeviceModel> app;
    std::shared_ptr<DfuDeviceModel> dfu;
};

Board makeBoard(const HidAppDeviceSpec &appSetup, const DfuDeviceSpec &dfuSetup, int restartDelayMs = 200);

} // namespace sim
