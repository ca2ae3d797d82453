#include "DfuEntryCommandSet.h"

// The second command is not answered: the device restarts. Only a write that did not go
// out tells that it was not taken, and then the device is still in its application.
bool DfuEntryCommandSet::enterDfuMode()
{
    if (commandE0()[HidCommandFrame::StatusByte] != 0)
        return false;
    return commandE1()[HidCommandFrame::StatusByte] == 0;
}

bool DfuEntryCommandSet::enterDfuModeShort()
{
    if (shortCommandE0()[HidCommandFrame::StatusByte] != 0)
        return false;
    return shortCommandE1()[HidCommandFrame::StatusByte] == 0;
}

bool sendIntoDfuMode(DfuEntryCommandSet &entry, HidFamily family)
{
    return family == HidFamily::ShortFrames ? entry.enterDfuModeShort() : entry.enterDfuMode();
}
