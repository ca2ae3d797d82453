#include "World.h"

#include <algorithm>

namespace sim {

World &World::instance()
{
    static World world;
    return world;
}

PluggedDevice World::plug(std::shared_ptr<UsbDeviceModel> model, uint8_t port)
{
    std::lock_guard<std::mutex> lock(mutex);
    return plugLocked(std::move(model), port);
}

void World::plugLater(std::shared_ptr<UsbDeviceModel> model, int delayMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    arrivals.push_back({std::move(model), std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs)});
}

PluggedDevice World::plugLocked(std::shared_ptr<UsbDeviceModel> model, uint8_t port)
{
    if (port == 0) {
        port = 1;
        while (std::any_of(plugged.begin(), plugged.end(), [&](const PluggedDevice &d) { return d.ports[0] == port; }))
            ++port;
    }
    model->attach();
    PluggedDevice device;
    device.model = std::move(model);
    device.ports = {port};
    // Addresses count up like a host controller's, skipping 0 and 1 (the root hub).
    device.address = nextAddress;
    nextAddress = nextAddress >= 127 ? 2 : uint8_t(nextAddress + 1);
    plugged.push_back(device);
    return device;
}

void World::unplug(const std::shared_ptr<UsbDeviceModel> &model)
{
    std::lock_guard<std::mutex> lock(mutex);
    arrivals.erase(std::remove_if(arrivals.begin(), arrivals.end(), [&](const Arrival &a) { return a.model == model; }),
                   arrivals.end());
    for (auto it = plugged.begin(); it != plugged.end();) {
        if (it->model == model) {
            it->model->disconnect();
            it = plugged.erase(it);
        } else {
            ++it;
        }
    }
}

void World::unplugAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (PluggedDevice &d : plugged)
        d.model->disconnect();
    plugged.clear();
    arrivals.clear();
}

World::Presence World::presence(const std::shared_ptr<UsbDeviceModel> &model)
{
    for (const PluggedDevice &d : devices()) {
        if (d.model == model)
            return Presence::Present;
    }
    std::lock_guard<std::mutex> lock(mutex);
    const bool arriving =
        std::any_of(arrivals.begin(), arrivals.end(), [&](const Arrival &a) { return a.model == model; });
    return arriving ? Presence::Arriving : Presence::Absent;
}

std::vector<PluggedDevice> World::devices()
{
    std::lock_guard<std::mutex> lock(mutex);
    plugged.erase(std::remove_if(plugged.begin(), plugged.end(),
                                 [](const PluggedDevice &d) { return !d.model->connected(); }),
                  plugged.end());
    const auto now = std::chrono::steady_clock::now();
    for (auto it = arrivals.begin(); it != arrivals.end();) {
        if (it->at <= now) {
            plugLocked(std::move(it->model), 0);
            it = arrivals.erase(it);
        } else {
            ++it;
        }
    }
    return plugged;
}

} // namespace sim
