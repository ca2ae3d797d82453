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

void World::plugLater(std::shared_ptr<UsbDeviceModel> model, int delayMs, uint8_t port, bool restart)
{
    std::lock_guard<std::mutex> lock(mutex);
    arrivals.push_back(
        {std::move(model), std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), port, restart});
}

void World::unplugPortLater(uint8_t port, int delayMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    departures.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), port});
}

uint8_t World::lastPortOf(const UsbDeviceModel *model)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &p : lastPorts) {
        if (p.first == model)
            return p.second;
    }
    return 0;
}

PluggedDevice World::plugLocked(std::shared_ptr<UsbDeviceModel> model, uint8_t port)
{
    const auto taken = [&](uint8_t p) {
        return std::any_of(plugged.begin(), plugged.end(),
                           [&](const PluggedDevice &d) { return d.ports[0] == p && d.model->connected(); });
    };
    if (port == 0 || taken(port)) {
        port = 1;
        while (taken(port))
            ++port;
    }
    const auto last = std::find_if(lastPorts.begin(), lastPorts.end(), [&](const auto &p) { return p.first == model.get(); });
    if (last != lastPorts.end())
        last->second = port;
    else
        lastPorts.emplace_back(model.get(), port);
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
    departures.clear();
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
    // Whatever fell due since the last look happens in the order of its times, however close:
    // a board put in and pulled between two looks is gone again, and one pulled and put back is
    // there. At the same moment, the port is emptied first: the board put in is the one left.
    std::vector<Departure> leaving;
    std::vector<Arrival> coming;
    const auto due = [&](auto &pending, auto &into) {
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->at <= now) {
                into.push_back(std::move(*it));
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        std::stable_sort(into.begin(), into.end(), [](const auto &a, const auto &b) { return a.at < b.at; });
    };
    due(departures, leaving);
    due(arrivals, coming);
    size_t next = 0;
    for (const Departure &d : leaving) {
        for (; next < coming.size() && coming[next].at < d.at; ++next) {
            if (coming[next].model)
                plugLocked(std::move(coming[next].model), coming[next].port);
        }
        for (auto p = plugged.begin(); p != plugged.end();) {
            const bool here = p->ports[0] == d.port;
            if (here)
                p->model->disconnect();
            p = here ? plugged.erase(p) : std::next(p);
        }
        // A board restarting into the port then is pulled too; one to be put in later is not.
        const auto restarting = [&](const Arrival &a) { return a.port == d.port && a.restart && a.model; };
        arrivals.erase(std::remove_if(arrivals.begin(), arrivals.end(), restarting), arrivals.end());
        for (size_t i = next; i < coming.size(); ++i) {
            if (restarting(coming[i]))
                coming[i].model.reset();
        }
    }
    for (; next < coming.size(); ++next) {
        if (coming[next].model)
            plugLocked(std::move(coming[next].model), coming[next].port);
    }
    return plugged;
}

} // namespace sim
