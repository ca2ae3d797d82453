#pragma once

#include "HidCommandSet.h"

// The two commands that send an application-mode device into its DFU boot loader.
class DfuEntryCommandSet : public HidCommandSet
{
public:
    using HidCommandSet::HidCommandSet;
};
