#include "Devices.h"

#include "DfuEntryCommandSet.h"
#include "DfuEnumeration.h"
#include "HidCommandSet.h"
#include "HidTransport.h"
#include "Maker.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

namespace update {

namespace {
constexpr int LookEveryMs = 50;
}

QString Device::name() const
{
    return product + QStringLiteral(" at ") + location;
}

QList<Device> appDevices()
{
    QList<Device> out;
    for (const HidDeviceInfo &h : hidTransport.devices(QString::fromLatin1(MakerManufacturer))) {
        Device d;
        d.product = h.product;
        d.serial = h.serial;
        d.path = h.path;
        d.location = hidLocation(h.path);
        d.vendorId = h.vendorId;
        d.productId = h.productId;
        d.family = h.family;
        out.append(d);
    }
    return out;
}

QList<Device> dfuDevices()
{
    // What was read of a device stays known while it stays plugged in: a station looks at
    // the bus every few milliseconds, and a boot loader busy erasing holds every request.
    static QMutex cacheMutex;
    static DfuDescriptorCache cache;
    QList<DfuDeviceRecord> records;
    {
        QMutexLocker lock(&cacheMutex);
        records = enumerateDfuDevices(QString::fromLatin1(MakerManufacturer), QString(), &cache);
    }
    QList<Device> out;
    for (const DfuDeviceRecord &r : records) {
        Device d;
        d.mode = Device::Dfu;
        d.product = r.product;
        d.serial = r.serial;
        d.path = r.path;
        d.busAddress = r.busAddress;
        d.vendorId = r.vendorId;
        d.productId = r.productId;
        d.location = dfuLocation(d.path);
        out.append(d);
    }
    return out;
}

std::optional<Device> deviceAt(const QList<Device> &devices, const QString &location)
{
    for (const Device &d : devices) {
        if (!location.isEmpty() && d.location == location)
            return d;
    }
    return std::nullopt;
}

QString hidLocation(const QString &path)
{
    static const QRegularExpression simulated(QStringLiteral("^sim-hidraw:(\\d+-[\\d.]+)$"));
    const QRegularExpressionMatch m = simulated.match(path);
    if (m.hasMatch())
        return m.captured(1);
    // A hidraw node: its USB interface in sysfs is named BUS-PORTS:CONFIG.INTERFACE.
    const QString node = QFileInfo(path).fileName();
    const QString device = QFileInfo(QStringLiteral("/sys/class/hidraw/%1/device").arg(node)).canonicalFilePath();
    static const QRegularExpression usbInterface(QStringLiteral("^(\\d+-[\\d.]+):\\d+\\.\\d+$"));
    for (const QString &part : device.split(QLatin1Char('/'))) {
        const QRegularExpressionMatch i = usbInterface.match(part);
        if (i.hasMatch())
            return i.captured(1);
    }
    return QString();
}

QString dfuLocation(const QString &path)
{
    static const QRegularExpression ours(QStringLiteral("^usb:(\\d+-[\\d.]+):\\d+\\.\\d+$"));
    const QRegularExpressionMatch m = ours.match(path);
    return m.hasMatch() ? m.captured(1) : QString();
}

VersionAnswer queryVersion(const Device &d)
{
    VersionAnswer a;
    a.opened = hidTransport.open(d.path);
    if (!a.opened)
        return a;
    HidCommandSet commands(0x5A);
    const HidVersionAnswer answer = askVersion(commands, d.family);
    hidTransport.close();
    a.answered = answer.answered;
    a.version = answer.version;
    return a;
}

bool enterDfuMode(const Device &d)
{
    if (!hidTransport.open(d.path))
        return false;
    DfuEntryCommandSet entry(0xA5);
    const bool entered = sendIntoDfuMode(entry, d.family);
    hidTransport.close();
    return entered;
}

bool parseUsbIds(const QString &text, quint16 &vendorId, quint16 &productId)
{
    QStringList parts = text.split(QLatin1Char(':'));
    // 1209:2a17 or, as C and lsusb -d write it too, 0x1209:0x2a17.
    for (QString &p : parts) {
        if (p.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            p = p.mid(2);
    }
    if (parts.size() != 2 || parts[0].isEmpty() || parts[1].isEmpty() || parts[0].size() > 4 || parts[1].size() > 4)
        return false;
    bool okVendor = false, okProduct = false;
    vendorId = quint16(parts[0].toUInt(&okVendor, 16));
    productId = quint16(parts[1].toUInt(&okProduct, 16));
    return okVendor && okProduct;
}

Outcome checkSelection(const Selection &s)
{
    if (s.location && s.location->isEmpty())
        return Outcome::refused(QStringLiteral("an empty --device selects nothing (is a variable unset?)"));
    if (s.serial && s.serial->isEmpty())
        return Outcome::refused(QStringLiteral("an empty --serial selects nothing (is a variable unset?)"));
    if (s.usb && s.usb->isEmpty())
        return Outcome::refused(QStringLiteral("an empty --usb selects nothing (is a variable unset?)"));
    quint16 vendorId = 0, productId = 0;
    if (s.usb && !parseUsbIds(*s.usb, vendorId, productId))
        return Outcome::refused(QStringLiteral("--usb takes VID:PID in hexadecimal, such as 1209:2a17"));
    return Outcome::ok();
}

bool fits(const Device &d, const Selection &s)
{
    // A board left in DFU mode is found by its own serial too, where the history knows it.
    if ((s.location && d.location != *s.location)
        || (s.serial && d.serial != *s.serial && (d.appSerial.isEmpty() || d.appSerial != *s.serial)))
        return false;
    quint16 vendorId = 0, productId = 0;
    return !s.usb || (parseUsbIds(*s.usb, vendorId, productId) && d.vendorId == vendorId && d.productId == productId);
}

Selected select(const QList<Device> &present, const Selection &s)
{
    Selected out;
    const Outcome given = checkSelection(s);
    if (!given) {
        out.result = Selected::Invalid;
        out.message = given.message();
        return out;
    }
    for (const Device &d : present) {
        if (fits(d, s))
            out.devices.append(d);
    }
    if (out.devices.isEmpty()) {
        out.result = present.isEmpty() ? Selected::NoDevice : Selected::NoneFits;
        out.message = present.isEmpty() ? QStringLiteral("no %1 device is connected (tolvex-dfu list shows what is)")
                                              .arg(QLatin1String(MakerManufacturer))
                                        : QStringLiteral("no connected device fits the selection (tolvex-dfu list "
                                                         "shows what is connected)");
    } else if (out.devices.size() > 1 && !s.all) {
        QStringList names;
        for (const Device &d : out.devices)
            names << d.name();
        out.result = Selected::Ambiguous;
        const bool bySerial = s.serial && !s.location;
        out.message = bySerial ? QStringLiteral("%1 devices report the serial %2 (%3): say which with --device, or --all")
                                     .arg(out.devices.size())
                                     .arg(*s.serial, names.join(QStringLiteral(", ")))
                               : QStringLiteral("%1 devices fit (%2): say which with --device, --serial or --usb, "
                                                "or --all")
                                     .arg(out.devices.size())
                                     .arg(names.join(QStringLiteral(", ")));
        out.devices.clear();
    }
    return out;
}

Arrival waitForDevice(Device::Mode mode, const QString &location, int timeoutMs,
                      const std::function<bool()> &interrupted, const std::function<void()> &idle)
{
    Arrival a;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (interrupted && interrupted()) {
            a.result = Arrival::Interrupted;
            return a;
        }
        if (auto d = deviceAt(mode == Device::Dfu ? dfuDevices() : appDevices(), location)) {
            a.result = Arrival::Arrived;
            a.device = *d;
            return a;
        }
        if (clock.elapsed() >= timeoutMs)
            return a;
        if (idle)
            idle();
        QThread::msleep(LookEveryMs);
    }
}

} // namespace update
