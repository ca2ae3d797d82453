#pragma once

// The base of every simulated device: descriptors, strings and the standard requests of
// endpoint 0. Plain C++ with the standard library only, and no knowledge of any
// transport: the in-process libusb and the kernel gadget both feed it setup packets.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct SetupPacket
{
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    // How long the host waits for this transfer; 0 waits for ever.
    uint32_t timeoutMs = 0;

    bool isIn() const { return bmRequestType & 0x80; }
    uint8_t type() const { return (bmRequestType >> 5) & 3; }   // 0 standard, 1 class, 2 vendor
};

struct ControlResult
{
    // TimedOut: the device did not complete the transfer within the host's timeout.
    enum Outcome { Ok, Stall, Disconnected, TimedOut } outcome = Ok;
    size_t length = 0; // bytes placed in the buffer (IN) or taken from it (OUT)
    // How the host saw a disconnection: hosts report an unplug mid-transfer as a missing
    // device, an I/O error, a stall or a timeout.
    enum Loss { NoDevice, IoError, PipeError, Timeout } lostAs = NoDevice;

    static ControlResult ok(size_t n) { return {Ok, n, NoDevice}; }
    static ControlResult stall() { return {Stall, 0, NoDevice}; }
    static ControlResult gone(Loss as = NoDevice) { return {Disconnected, 0, as}; }
    static ControlResult timedOut() { return {TimedOut, 0, NoDevice}; }
};

// The characters of a device string given as UTF-8; a byte that begins no valid sequence is
// taken as the Latin-1 character of its value, so that any byte can be served.
std::u32string codePointsOf(const std::string &text);

class UsbDeviceModel
{
public:
    virtual ~UsbDeviceModel() = default;

    // Handles one control transfer. `data` holds wLength bytes: filled for IN requests,
    // read for OUT requests. Thread-safe.
    ControlResult control(const SetupPacket &setup, uint8_t *data);

    bool connected() const { return isConnected.load(); }
    void disconnect() { isConnected = false; }
    // Plugged in (again): the device starts afresh, as after a power cycle.
    void attach()
    {
        std::lock_guard<std::mutex> lock(mutex);
        isConnected = true;
        restart();
    }
    uint64_t controlTransferCount() const { return transfers.load(); }
    // Makes opening the device fail as it does without permission on its device node.
    void setOpenDenied(bool denied) { openDenied = denied; }
    bool isOpenDenied() const { return openDenied.load(); }
    // Makes claiming the interface fail as it does while another program holds it.
    void setClaimedElsewhere(bool claimed) { claimedElsewhere = claimed; }
    bool isClaimedElsewhere() const { return claimedElsewhere.load(); }

    // A reset on the bus, as libusb_reset_device sends it. The device starts afresh, or
    // leaves the bus when the reset is what it waited for to start its application.
    void busReset();

    std::vector<uint8_t> deviceDescriptor() const;
    std::vector<uint8_t> configDescriptor() const;
    // String descriptor `index` as UTF-16LE with its header; empty if there is none.
    std::vector<uint8_t> stringDescriptor(uint8_t index) const;

protected:
    struct Identity
    {
        uint16_t vendorId = 0x1209;
        uint16_t productId = 0;
        uint16_t release = 0x0100;
        std::string manufacturer = "Corvantis";
        std::string product;
        std::string serial;
    };

    // Set, under the lock, by a request whose answer waits for the device's work: `control`
    // holds the answer back until then, with the lock released.
    std::chrono::steady_clock::time_point answerAt{};
    std::mutex endpoint0;

    // Subclasses set these in their constructor.
    Identity identity;
    std::vector<std::string> strings;     // index 1..n; 1 manufacturer, 2 product, 3 serial
    std::vector<uint8_t> interfaceBytes;  // interface, class and endpoint descriptors of the configuration
    uint8_t interfaceCount = 1;

    // Requests that are not standard ones; called with `mutex` held.
    virtual ControlResult classRequest(const SetupPacket &setup, uint8_t *data) = 0;
    // False refuses the alternate setting (the request stalls).
    // Back to the state after power-up; called with `mutex` held.
    virtual void restart() {}
    virtual bool setInterface(uint8_t /*interfaceNumber*/, uint8_t alternate) { return alternate == 0; }

    // Called after each request with the device's lock released, for work that must not
    // hold it (callbacks into the world).
    virtual void afterRequest() {}
    // With the lock held: true when a bus reset makes the device leave (then afterRequest()
    // runs); false to restart in place.
    virtual bool leavesOnReset() { return false; }

    // Quirks of real devices' string descriptors.
    bool languageListStalls = false;   // string 0 (the LANGID list) is stalled
    bool oddStringLengths = false;     // bLength is odd, one past the text's last byte
    bool stringLengthPastData = false; // bLength claims 16 bytes more than are sent

    uint8_t addString(const std::string &text);
    // Sets the identity and adds its strings as indexes 1 to 3; call before any other string.
    void setIdentity(const Identity &id);

    mutable std::mutex mutex;

private:
    ControlResult standardRequest(const SetupPacket &setup, uint8_t *data);
    std::atomic<bool> isConnected{true};
    std::atomic<bool> openDenied{false};
    std::atomic<bool> claimedElsewhere{false};
    std::atomic<uint64_t> transfers{0};
    uint8_t configuration = 1;
};

} // namespace sim
