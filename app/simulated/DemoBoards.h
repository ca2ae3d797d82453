#pragma once

// The simulated products of the demo: one of each device family, with the firmware
// version "V1.0" in flash and the names and ids that the demo's Config.ini and .dfu files
// are made for.

#include "Board.h"

namespace demo {

constexpr char StandardProduct[] = "Tolvex Demo Board";
constexpr char OtterNineProduct[] = "OtterNINE Demo";
// The DFU library's interface of the internal flash, and where the firmware starts.
constexpr size_t FlashAlternate = 1;
constexpr uint32_t FlashStart = 0x08000000;

sim::Board makeBoard(bool otterNine, sim::Timing timing = sim::Timing::Realistic, int restartDelayMs = 300);

} // namespace demo
