#include "AppDeviceList.h"

#include "HidTransport.h"

#include <QDebug>
#include <QSet>

void AppDeviceList::refresh()
{
    const QList<QStringList> records = hidTransport.enumerate(manufacturerFilter);
    QSet<QString> present;
    for (const QStringList &r : records)
        present.insert(r.at(2));
    entries.removeIf([&](const AppDeviceEntry &e) {
        if (present.contains(e.path))
            return false;
        if (e.connected == 1)
            hidTransport.close();
        return true;
    });
    for (const QStringList &r : records) {
        const bool known = std::any_of(entries.begin(), entries.end(),
                                       [&](const AppDeviceEntry &e) { return e.path == r.at(2); });
        if (!known)
            entries.append({0, r.at(0), r.at(1), r.at(2), 0, 0, r.value(3)});
    }
    const QString silent = hidTransport.takeSilentPath();
    for (AppDeviceEntry &e : entries) {
        if (silent.isEmpty() || e.path != silent)
            continue;
        e.connected = 0;
        if (++e.silentTries == MaxSilentTries)
            qWarning().noquote() << "HID:" << e.product << "at" << e.path << "did not answer" << MaxSilentTries
                                 << "times; it is not asked again until it is replugged.";
    }
}

QStringList AppDeviceList::productNames()
{
    refresh();
    QStringList names;
    for (const AppDeviceEntry &e : entries)
        names.append(e.product);
    return names;
}

AppDeviceEntry AppDeviceList::selectedDevice() const
{
    if (selected < 0 || selected >= entries.size())
        return AppDeviceEntry();
    return entries.at(selected);
}

bool AppDeviceList::connect(int position)
{
    if (position < 0 || position >= entries.size())
        return false;
    selected = position;
    AppDeviceEntry entry = entries.at(position);
    if (entry.silentTries >= MaxSilentTries)
        return false;
    entry.index = position;
    const bool opened = hidTransport.open(entry.path);
    entry.connected = opened ? 1 : 0;
    entries[position] = entry;
    return opened;
}
