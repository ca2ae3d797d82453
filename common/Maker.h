#pragma once

// What every layer knows of the maker: the manufacturer string its devices report in both
// modes, and what to tell a user who lacks the permission to open one.

// The maker's devices report exactly this manufacturer string (case counts).
inline constexpr char MakerManufacturer[] = "Corvantis";

// The end of every "cannot be opened" message: the usual cause is a missing udev rule.
inline constexpr char UdevRulesHint[] =
    "install the udev rules (packaging/70-tolvex-dfu.rules, see docs/user-guide.md) and replug the device";
