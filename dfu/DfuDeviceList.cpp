#include "DfuDeviceList.h"

#include <algorithm>

namespace {

bool sameDevice(const DfuDeviceEntry &e, const DfuDeviceRecord &r)
{
    return e.path == r.path && e.busAddress == r.busAddress && e.serial == r.serial;
}

} // namespace

void DfuDeviceList::refresh()
{
    const QList<DfuDeviceRecord> records = enumerateDfuDevices(manufacturerFilter, productFilter, &descriptors);
    const auto present = [&](const DfuDeviceEntry &e) {
        return std::any_of(records.begin(), records.end(), [&](const DfuDeviceRecord &r) { return sameDevice(e, r); });
    };
    entries.removeIf([&](const DfuDeviceEntry &e) { return !present(e); });
    for (const DfuDeviceRecord &r : records) {
        const bool known = std::any_of(entries.begin(), entries.end(),
                                       [&](const DfuDeviceEntry &e) { return sameDevice(e, r); });
        if (known)
            continue;
        DfuDeviceEntry entry;
        entry.manufacturer = r.manufacturer;
        entry.product = r.product;
        entry.serial = r.serial;
        entry.path = r.path;
        entry.busAddress = r.busAddress;
        entries.append(entry);
    }
}

QStringList DfuDeviceList::productNames()
{
    refresh();
    QStringList names;
    for (const DfuDeviceEntry &e : entries)
        names.append(e.product);
    return names;
}

DfuDeviceEntry DfuDeviceList::selectedDevice() const
{
    if (selected < 0 || selected >= entries.size())
        return DfuDeviceEntry();
    return entries.at(selected);
}

int DfuDeviceList::connect(int position)
{
    if (position < 0 || position >= entries.size())
        return DfuTarget::NoDescriptor;
    selected = position;
    entries[position].connected = 1;
    entries[position].index = position;
    return dfuTarget.openDevice(entries[position].path);
}

void DfuDeviceList::release(int position)
{
    selected = -1;
    if (position >= 0 && position < entries.size())
        entries[position].connected = 0;
}
