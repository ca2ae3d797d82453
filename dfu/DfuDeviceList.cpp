#include "DfuDeviceList.h"

#include <algorithm>

namespace {

bool sameDevice(const DfuDeviceEntry &e, const DfuDeviceRecord &r)
{
    return e.path == r.at(3) && e.busAddress == r.at(4) && e.serial == r.at(2);
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
        entry.manufacturer = r.at(0);
        entry.product = r.at(1);
        entry.serial = r.at(2);
        entry.path = r.at(3);
        entry.busAddress = r.at(4);
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
