// The memory of a simulated DFU device: the layouts of its alternates as the setups give them,
// and access to its sectors, for the device's requests and for the tests.

#include "DfuDeviceModel.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {
constexpr uint32_t KiB = 1024;
}

DfuDeviceSpec DfuDeviceSpec::twoAlternates()
{
    DfuDeviceSpec setup;
    setup.alternates.push_back({"Option Bytes  ", {{0x1FFFC000, {{1, 16, 'e'}}}}});
    setup.alternates.push_back(
        {"Internal Flash  ", {{0x08000000, {{4, 16 * KiB, 'g'}, {1, 64 * KiB, 'g'}, {7, 128 * KiB, 'g'}}}}});
    return setup;
}

DfuDeviceSpec DfuDeviceSpec::twoFlashes()
{
    DfuDeviceSpec setup;
    setup.alternates.push_back({"Boot Flash  ", {{0x08000000, {{64, 2 * KiB, 'g'}}}}});
    setup.alternates.push_back({"Internal Flash  ", {{0x08100000, {{4, 16 * KiB, 'g'}}}}});
    return setup;
}

DfuDeviceSpec DfuDeviceSpec::oneAlternate()
{
    DfuDeviceSpec setup = twoAlternates();
    setup.alternates.erase(setup.alternates.begin());
    return setup;
}

std::string DfuDeviceModel::layoutString(const AlternateSpec &alternate)
{
    std::string text = "@" + alternate.name;
    char buffer[32];
    for (const RegionSpec &region : alternate.regions) {
        std::snprintf(buffer, sizeof buffer, "/0x%08X/", region.start);
        text += buffer;
        for (size_t i = 0; i < region.groups.size(); ++i) {
            const SectorGroupSpec &g = region.groups[i];
            uint32_t size = g.size;
            char multiplier = ' ';
            if (size % (KiB * KiB) == 0) {
                size /= KiB * KiB;
                multiplier = 'M';
            } else if (size % KiB == 0) {
                size /= KiB;
                multiplier = 'K';
            }
            std::snprintf(buffer, sizeof buffer, "%s%02u*%03u%c%c", i ? "," : "", g.count, size, multiplier, g.access);
            text += buffer;
        }
    }
    return text;
}

DfuDeviceModel::Sector *DfuDeviceModel::sectorAt(size_t alt, uint32_t address)
{
    return const_cast<Sector *>(static_cast<const DfuDeviceModel *>(this)->sectorAt(alt, address));
}

const DfuDeviceModel::Sector *DfuDeviceModel::sectorAt(size_t alt, uint32_t address) const
{
    if (alt >= memories.size())
        return nullptr;
    for (const Sector &s : memories[alt].sectors) {
        if (address >= s.address && uint64_t(address) < uint64_t(s.address) + s.size)
            return &s;
    }
    return nullptr;
}

size_t DfuDeviceModel::walk(size_t alt, uint64_t address, size_t size,
                            const std::function<bool(Sector &, size_t, size_t, size_t)> &visit)
{
    size_t done = 0;
    while (done < size && address + done <= 0xFFFFFFFFu) {
        Sector *s = sectorAt(alt, uint32_t(address + done));
        if (!s)
            break;
        const size_t offset = size_t(address + done - s->address);
        const size_t count = std::min(size - done, size_t(s->size) - offset);
        if (!visit(*s, offset, done, count))
            break;
        done += count;
    }
    return done;
}

bool DfuDeviceModel::rangeAccess(size_t alt, uint32_t address, size_t size, uint8_t need) const
{
    auto *self = const_cast<DfuDeviceModel *>(this); // the visit below changes nothing
    return self->walk(alt, address, size, [&](Sector &s, size_t, size_t, size_t) {
        return (s.access & need) == need;
    }) == size;
}

bool DfuDeviceModel::readMemory(size_t alt, uint32_t address, uint8_t *out, size_t size) const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!rangeAccess(alt, address, size, 0))
        return false;
    const_cast<DfuDeviceModel *>(this)->walk(alt, address, size, [&](Sector &s, size_t at, size_t to, size_t n) {
        std::memcpy(out + to, s.bytes.data() + at, n);
        return true;
    });
    return true;
}

bool DfuDeviceModel::writeMemory(size_t alt, uint32_t address, const uint8_t *data, size_t size)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!rangeAccess(alt, address, size, 0))
        return false;
    walk(alt, address, size, [&](Sector &s, size_t at, size_t from, size_t n) {
        std::memcpy(s.bytes.data() + at, data + from, n);
        return true;
    });
    return true;
}

} // namespace sim
