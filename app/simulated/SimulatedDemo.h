#pragma once

// What the simulated build adds to the tool's main(): the simulated devices with their
// "Simulated devices" window, or, given --road FOLDER, the whole road of one firmware
// update run without a user, printed step by step with a picture of each step.

#include "SimDevicesWindow.h"

class MainWindow;

class SimulatedDemo
{
public:
    SimulatedDemo();
    // Shows the devices window beside the main window, or starts the road.
    void attach(MainWindow &window);

private:
    SimDevicesWindow devices;
};
