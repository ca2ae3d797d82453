#pragma once

// The maker's devices in either mode as typed records, where they are plugged, the rules of
// choosing among them, and the application-mode steps of the road: asking the version and
// sending a device into DFU mode.

#include "Outcome.h"
#include "HidDevice.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace update {

struct Device
{
    enum Mode { Application, Dfu };
    Mode mode = Application;
    QString product;
    QString serial;
    QString path;
    QString location;      // BUS-PORT.PORT...: the same for a board in either mode
    quint16 vendorId = 0;  // application mode (DFU mode: once opened)
    quint16 productId = 0;
    HidFamily family = HidFamily::Standard; // application mode
    QString busAddress;    // DFU mode: "BUS.ADDRESS" when enumerated, to tell a replacement
    // DFU mode: the application serial the history knows for this boot loader at this port
    // (a board left in DFU mode is still found by its own serial).
    QString appSerial;

    bool dfuMode() const { return mode == Dfu; }
    // "PRODUCT at LOCATION", for messages.
    QString name() const;
};

QList<Device> appDevices();
QList<Device> dfuDevices();
std::optional<Device> deviceAt(const QList<Device> &devices, const QString &location);

// Where a device is plugged, "BUS-PORT.PORT...", from a hidapi path (hidraw or simulated)
// or our DFU interface path; empty when it cannot be told.
QString hidLocation(const QString &path);
QString dfuLocation(const QString &path);

// What an application-mode device says when asked for its version.
struct VersionAnswer
{
    bool opened = false;
    bool answered = false;
    QString version; // empty when the family reports none
};
VersionAnswer queryVersion(const Device &device);
// Sends an application-mode device into DFU mode; false when a command did not go out.
bool enterDfuMode(const Device &device);

// Which devices a command works on. A value that is given must not be empty (an unset
// variable in a script must not select everything).
struct Selection
{
    std::optional<QString> location;
    std::optional<QString> serial;
    std::optional<QString> usb; // "VID:PID", hexadecimal
    bool all = false;           // every device that fits the others, not only one
};
// Whether `device` fits every part of the selection that is given.
bool fits(const Device &device, const Selection &selection);
struct Selected
{
    enum Result { Chosen, Invalid, NoDevice, NoneFits, Ambiguous } result = Chosen;
    QList<Device> devices;
    QString message;
};
// Whether a selection as given can select anything: Refused, saying why, for an empty value or
// USB ids that do not read. Known before any device is looked at. The parts combine: all given
// must fit.
Outcome checkSelection(const Selection &selection);
// Without `all`, more than one fitting device is Ambiguous and names them: boards whose boot
// loaders report one fixed serial string fit a --serial together.
Selected select(const QList<Device> &present, const Selection &selection);

// Waits, calling `idle` between looks, for a device of `mode` at `location`.
struct Arrival
{
    enum Result { Arrived, TimedOut, Interrupted } result = TimedOut;
    Device device;
};
Arrival waitForDevice(Device::Mode mode, const QString &location, int timeoutMs,
                      const std::function<bool()> &interrupted, const std::function<void()> &idle);

} // namespace update
