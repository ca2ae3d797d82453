#include "UsbDeviceModel.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace sim {

namespace {
enum StandardRequest : uint8_t {
    GetStatus = 0,
    GetDescriptor = 6,
    GetConfiguration = 8,
    SetConfiguration = 9,
    SetInterface = 11,
};

ControlResult copyOut(const std::vector<uint8_t> &bytes, uint8_t *data, uint16_t length)
{
    const size_t n = std::min<size_t>(bytes.size(), length);
    if (n)
        std::memcpy(data, bytes.data(), n);
    return ControlResult::ok(n);
}
} // namespace

std::u32string codePointsOf(const std::string &text)
{
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        char32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (valid && length > 1 && (c < (length == 2 ? 0x80u : length == 3 ? 0x800u : 0x10000u) || c > 0x10FFFF))
            valid = false;
        out.push_back(valid ? c : char32_t(b));
        i += valid ? length : 1;
    }
    return out;
}

ControlResult UsbDeviceModel::control(const SetupPacket &setup, uint8_t *data)
{
    ++transfers;
    if (!connected())
        return ControlResult::gone();
    ControlResult result;
    {
        // One transfer at a time, as on a real endpoint 0; the device's work is waited for
        // with the state's lock released, so that whoever looks at the device meanwhile (the
        // demo's window, a test) never waits on that work.
        std::lock_guard<std::mutex> transfer(endpoint0);
        std::chrono::steady_clock::time_point wait;
        {
            std::lock_guard<std::mutex> lock(mutex);
            answerAt = {};
            result = setup.type() == 0 ? standardRequest(setup, data) : classRequest(setup, data);
            wait = answerAt;
        }
        if (wait != std::chrono::steady_clock::time_point{})
            std::this_thread::sleep_until(wait);
    }
    afterRequest();
    return result;
}

void UsbDeviceModel::setIdentity(const Identity &id)
{
    identity = id;
    strings.clear();
    addString(identity.manufacturer);
    addString(identity.product);
    addString(identity.serial);
}

uint8_t UsbDeviceModel::addString(const std::string &text)
{
    strings.push_back(text);
    return uint8_t(strings.size());
}

std::vector<uint8_t> UsbDeviceModel::deviceDescriptor() const
{
    const auto &id = identity;
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64,
            uint8_t(id.vendorId), uint8_t(id.vendorId >> 8), uint8_t(id.productId), uint8_t(id.productId >> 8),
            uint8_t(id.release), uint8_t(id.release >> 8), 1, 2, uint8_t(id.serial.empty() ? 0 : 3), 1};
}

std::vector<uint8_t> UsbDeviceModel::configDescriptor() const
{
    const size_t total = 9 + interfaceBytes.size();
    std::vector<uint8_t> out(total);
    const uint8_t header[9] = {9, 2, uint8_t(total), uint8_t(total >> 8), interfaceCount, 1, 0, 0x80, 50};
    std::copy(header, header + 9, out.begin());
    std::copy(interfaceBytes.begin(), interfaceBytes.end(), out.begin() + 9);
    return out;
}

std::vector<uint8_t> UsbDeviceModel::stringDescriptor(uint8_t index) const
{
    if (index == 0)
        return languageListStalls ? std::vector<uint8_t>() : std::vector<uint8_t>{4, 3, 0x09, 0x04}; // en-US
    if (index > strings.size())
        return {};
    // UTF-16LE; bLength is one byte: 126 code units at most.
    std::vector<uint16_t> units;
    for (char32_t c : codePointsOf(strings[index - 1])) {
        if (c > 0xFFFF) {
            c -= 0x10000;
            units.push_back(uint16_t(0xD800 + (c >> 10)));
            units.push_back(uint16_t(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(uint16_t(c));
        }
    }
    units.resize(std::min<size_t>(units.size(), 126));
    std::vector<uint8_t> out = {uint8_t(2 + 2 * units.size()), 3};
    for (uint16_t u : units) {
        out.push_back(uint8_t(u));
        out.push_back(uint8_t(u >> 8));
    }
    if (oddStringLengths) {
        out[0] = uint8_t(out[0] + 1);
        out.push_back('!');
    }
    if (stringLengthPastData)
        out[0] = uint8_t(out[0] + 16);
    return out;
}

void UsbDeviceModel::busReset()
{
    if (!connected())
        return;
    bool leaves = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        leaves = leavesOnReset();
        if (!leaves)
            restart();
    }
    if (leaves)
        afterRequest();
}

ControlResult UsbDeviceModel::standardRequest(const SetupPacket &setup, uint8_t *data)
{
    switch (setup.bRequest) {
    case GetDescriptor: {
        if (!setup.isIn())
            return ControlResult::stall();
        const uint8_t type = uint8_t(setup.wValue >> 8);
        const uint8_t index = uint8_t(setup.wValue);
        if (type == 1)
            return copyOut(deviceDescriptor(), data, setup.wLength);
        if (type == 2 && index == 0)
            return copyOut(configDescriptor(), data, setup.wLength);
        if (type == 3) {
            const std::vector<uint8_t> s = stringDescriptor(index);
            return s.empty() ? ControlResult::stall() : copyOut(s, data, setup.wLength);
        }
        return ControlResult::stall();
    }
    case GetStatus:
        return copyOut({0, 0}, data, setup.wLength);
    case GetConfiguration:
        return copyOut({configuration}, data, setup.wLength);
    case SetConfiguration:
        configuration = uint8_t(setup.wValue);
        return ControlResult::ok(0);
    case SetInterface:
        return setInterface(uint8_t(setup.wIndex), uint8_t(setup.wValue)) ? ControlResult::ok(0)
                                                                            : ControlResult::stall();
    default:
        return ControlResult::stall();
    }
}

} // namespace sim
