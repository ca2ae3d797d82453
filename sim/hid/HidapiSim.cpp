// The hidapi functions that the tool uses, over sim::World: the simulated application-mode
// devices enumerate, open, take output reports and give input reports as hidraw would.

#include "../World.h"
#include "HidAppDeviceModel.h"

#include <hidapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

struct hid_device_
{
    std::shared_ptr<sim::HidAppDeviceModel> model;
    bool nonBlocking = false;
    std::wstring error;
};

namespace {

thread_local std::wstring globalError;

std::string pathOf(const sim::PluggedDevice &d)
{
    std::string path = "sim-hidraw:" + std::to_string(d.bus);
    for (size_t i = 0; i < d.ports.size(); ++i)
        path += (i ? "." : "-") + std::to_string(d.ports[i]);
    return path;
}

wchar_t *wideCopy(const std::string &text)
{
    const std::u32string chars = sim::codePointsOf(text);
    auto *out = static_cast<wchar_t *>(std::calloc(chars.size() + 1, sizeof(wchar_t)));
    for (size_t i = 0; out && i < chars.size(); ++i)
        out[i] = wchar_t(chars[i]);
    return out;
}

std::shared_ptr<sim::HidAppDeviceModel> hidModel(const sim::PluggedDevice &d)
{
    return std::dynamic_pointer_cast<sim::HidAppDeviceModel>(d.model);
}

int readFrom(hid_device *dev, unsigned char *data, size_t length, int milliseconds)
{
    if (!dev || !data)
        return -1;
    const int n = dev->model->readReport(data, length, milliseconds);
    if (n < 0)
        dev->error = L"Read error: the device is gone";
    return n;
}

} // namespace

// Defined in WorldFile.cpp: the preloaded world, read when the program first looks at the bus.
void tolvexSimLoadWorldOnce();

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    tolvexSimLoadWorldOnce();
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    return 0;
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    tolvexSimLoadWorldOnce();
    hid_device_info *first = nullptr;
    hid_device_info **link = &first;
    for (const sim::PluggedDevice &d : sim::World::instance().devices()) {
        const auto model = hidModel(d);
        if (!model)
            continue;
        const std::vector<uint8_t> device = model->deviceDescriptor();
        const unsigned short vid = uint16_t(device[8] | device[9] << 8);
        const unsigned short pid = uint16_t(device[10] | device[11] << 8);
        if ((vendor_id && vendor_id != vid) || (product_id && product_id != pid))
            continue;
        auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
        if (!info)
            break;
        info->path = strdup(pathOf(d).c_str());
        info->vendor_id = vid;
        info->product_id = pid;
        info->release_number = uint16_t(device[12] | device[13] << 8);
        info->serial_number = wideCopy(model->setupOf().serial);
        info->manufacturer_string = wideCopy(model->setupOf().manufacturer);
        info->product_string = wideCopy(model->setupOf().product);
        info->usage_page = 0xFF00;
        info->usage = 0x01;
        info->interface_number = 0;
        info->bus_type = HID_API_BUS_USB;
        *link = info;
        link = &info->next;
    }
    return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path)
{
    if (!path)
        return nullptr;
    for (const sim::PluggedDevice &d : sim::World::instance().devices()) {
        const auto model = hidModel(d);
        if (!model || pathOf(d) != path)
            continue;
        if (model->isOpenDenied()) {
            globalError = L"Failed to open a device with path: Permission denied";
            return nullptr;
        }
        auto *dev = new hid_device_;
        dev->model = model;
        return dev;
    }
    globalError = L"Failed to open a device with path: No such file or directory";
    return nullptr;
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock)
{
    if (!dev)
        return -1;
    dev->nonBlocking = nonblock != 0;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev || !data || length == 0)
        return -1;
    if (!dev->model->writeReport(data, length)) {
        dev->error = L"Write error: the device is gone";
        return -1;
    }
    return int(length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data, size_t length,
                                                 int milliseconds)
{
    return readFrom(dev, data, length, milliseconds);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    return readFrom(dev, data, length, dev && dev->nonBlocking ? 0 : -1);
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev)
{
    delete dev;
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev)
{
    if (!dev)
        return globalError.empty() ? nullptr : globalError.c_str();
    return dev->error.empty() ? nullptr : dev->error.c_str();
}

} // extern "C"
