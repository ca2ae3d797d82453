#pragma once

struct hid_device_;

// The link to the one open application-mode device. There is exactly one, the
// process-wide hidTransport below, shared by every command set and the device list.
class HidTransport
{
public:
    HidTransport() = default;
    ~HidTransport();
    HidTransport(const HidTransport &) = delete;
    HidTransport &operator=(const HidTransport &) = delete;

    bool isOpen() const { return handle != nullptr; }
    void close();

private:
    hid_device_ *handle = nullptr;
};

// Constructed before main() with the other process-wide objects, in start-up order.
extern HidTransport hidTransport;
