#include "DfuEntryCommandSet.h"

bool DfuEntryCommandSet::enterDfuMode()
{
    if (commandE0()[HidCommandFrame::StatusByte] != 0)
        return false;
    commandE1();
    return true;
}

bool DfuEntryCommandSet::enterDfuModeShort()
{
    if (shortCommandE0()[HidCommandFrame::StatusByte] != 0)
        return false;
    shortCommandE1();
    return true;
}
