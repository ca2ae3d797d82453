#pragma once

#include "HidCommandSet.h"
#include "HidDevice.h"

// The two commands that send an application-mode device into its DFU boot loader. True
// when the device accepted the first and the second went out; the second is never
// answered, the device leaves.
class DfuEntryCommandSet : public HidCommandSet
{
public:
    using HidCommandSet::HidCommandSet;

    // Standard frames, for devices other than the OtterNINE family.
    bool enterDfuMode();
    // 8-byte frames, for the OtterNINE family.
    bool enterDfuModeShort();
};

// Sends the open device into its boot loader with the commands of its family.
bool sendIntoDfuMode(DfuEntryCommandSet &entry, HidFamily family);
