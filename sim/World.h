#pragma once

// The simulated bus: a thread-safe set of plugged devices, each at a bus number, a port
// chain and a device address, as the libusb and hidapi stand-ins see them.

#include "model/UsbDeviceModel.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

struct PluggedDevice
{
    std::shared_ptr<UsbDeviceModel> model;
    uint8_t bus = 1;
    std::vector<uint8_t> ports;
    uint8_t address = 0;
};

class World
{
public:
    static World &instance();

    // Plugs a device in at the given port (0: the next free one) and returns where it is.
    PluggedDevice plug(std::shared_ptr<UsbDeviceModel> model, uint8_t port = 0);
    // Plugs the device in once `delayMs` have passed, as a device that restarts in another
    // mode shows up again on the bus a little later (`restart`), or as a hand plugs one in on
    // a timetable: at `port` (0: the next free one).
    void plugLater(std::shared_ptr<UsbDeviceModel> model, int delayMs, uint8_t port = 0, bool restart = true);
    // Empties `port` once `delayMs` have passed, as a hand pulls a board: whatever is plugged
    // there then, and a board restarting into it.
    void unplugPortLater(uint8_t port, int delayMs);
    // The port the device was last plugged into; 0 if it never was.
    uint8_t lastPortOf(const UsbDeviceModel *model);
    void unplug(const std::shared_ptr<UsbDeviceModel> &model);
    void unplugAll();
    enum class Presence { Absent, Present, Arriving };
    // Whether the device is on the bus, or restarting to come back on it.
    Presence presence(const std::shared_ptr<UsbDeviceModel> &model);
    // The devices present now; a device that dropped off the bus by itself is gone too.
    std::vector<PluggedDevice> devices();

private:
    struct Arrival
    {
        std::shared_ptr<UsbDeviceModel> model;
        std::chrono::steady_clock::time_point at;
        uint8_t port;
        bool restart;
    };
    struct Departure
    {
        std::chrono::steady_clock::time_point at;
        uint8_t port;
    };
    PluggedDevice plugLocked(std::shared_ptr<UsbDeviceModel> model, uint8_t port);

    std::mutex mutex;
    std::vector<PluggedDevice> plugged;
    std::vector<Arrival> arrivals;
    std::vector<Departure> departures;
    std::vector<std::pair<const UsbDeviceModel *, uint8_t>> lastPorts;
    uint8_t nextAddress = 2;
};

} // namespace sim
