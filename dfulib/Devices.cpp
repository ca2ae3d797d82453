// DFUDEV and the memory mapping: finding, opening and describing DFU-mode devices over libusb.

#include "Internal_p.h"

#include "Maker.h"
#include "UsbAnswers.h"

#include <cstdio>
#include <cstring>
#include <map>

using namespace dfulib;

namespace {

constexpr unsigned ControlTimeoutMs = 1000;
constexpr uint8_t DfuClass = 0xFE, DfuSubclass = 0x01, DfuModeProtocol = 0x02;
constexpr size_t MaxPathLength = 259; // the context's path field holds 260 bytes with the NUL

struct Location
{
    uint8_t bus = 0;
    std::string ports;
    int configuration = 0;
    int interfaceNumber = 0;
};

std::string portText(libusb_device *dev)
{
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (n <= 0)
        return "0";
    std::string text;
    for (int i = 0; i < n; ++i) {
        if (i)
            text += '.';
        text += std::to_string(ports[i]);
    }
    return text;
}

std::string pathFor(libusb_device *dev, int configuration, int interfaceNumber)
{
    return "usb:" + std::to_string(libusb_get_bus_number(dev)) + "-" + portText(dev) + ":"
           + std::to_string(configuration) + "." + std::to_string(interfaceNumber);
}

// The active configuration, or the first one of a device that has none set.
libusb_config_descriptor *configOf(libusb_device *dev)
{
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS)
        if (libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS)
            return nullptr;
    return config;
}

bool isDfuAltsetting(const libusb_interface_descriptor &alt)
{
    return alt.bInterfaceClass == DfuClass && alt.bInterfaceSubClass == DfuSubclass
           && alt.bInterfaceProtocol == DfuModeProtocol;
}

// Calls `f(device, path, interfaceNumber)` for every DFU-mode interface present.
template <typename F>
void forEachDfuInterface(F f)
{
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(usbContext(), &list);
    if (count < 0)
        return;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_config_descriptor *config = configOf(list[i]);
        if (!config)
            continue;
        for (uint8_t n = 0; n < config->bNumInterfaces; ++n) {
            const libusb_interface &iface = config->interface[n];
            for (int a = 0; a < iface.num_altsetting; ++a) {
                if (isDfuAltsetting(iface.altsetting[a])) {
                    const int number = iface.altsetting[a].bInterfaceNumber;
                    f(list[i], pathFor(list[i], config->bConfigurationValue, number), number);
                    break;
                }
            }
        }
        libusb_free_config_descriptor(config);
    }
    libusb_free_device_list(list, 1);
}

std::mutex openMutex;
std::map<std::string, std::weak_ptr<OpenDevice>> &openDevices()
{
    static auto *devices = new std::map<std::string, std::weak_ptr<OpenDevice>>;
    return *devices;
}

Registry<std::shared_ptr<OpenDevice>> &deviceHandles()
{
    // Never destroyed: operations may still run while static objects are torn down.
    static auto *registry = new Registry<std::shared_ptr<OpenDevice>>;
    return *registry;
}

std::shared_ptr<OpenDevice> deviceFor(DfuDeviceHandle *handle)
{
    if (!handle)
        return nullptr;
    const auto holder = deviceHandles().get(*handle);
    return holder ? *holder : nullptr;
}

int controlIn(OpenDevice &device, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
              uint16_t length)
{
    const int r = libusb_control_transfer(device.handle, requestType, request, value, index, data, length,
                                          ControlTimeoutMs);
    if (r == LIBUSB_ERROR_NO_DEVICE)
        device.gone = true;
    return r;
}

} // namespace

namespace dfulib {

libusb_context *usbContext()
{
    static libusb_context *context = [] {
        libusb_context *c = nullptr;
        const int r = libusb_init(&c);
        if (r != LIBUSB_SUCCESS) {
            dfulib::log(DFU_LOG_WARNING, "DFU: libusb cannot start: %s", libusb_error_name(r));
            return static_cast<libusb_context *>(nullptr);
        }
        return c;
    }();
    return context;
}

DfuStatus statusFromUsb(int usbError)
{
    switch (usbError) {
    case LIBUSB_ERROR_NO_DEVICE:
        return DFU_ERROR_DEVICE_GONE;
    case LIBUSB_ERROR_ACCESS:
        return DFU_ERROR_ACCESS;
    case LIBUSB_ERROR_PIPE:
        return DFU_ERROR_STALL;
    case LIBUSB_ERROR_NOT_FOUND:
        return DFU_ERROR_NO_DEVICE;
    default:
        return DFU_ERROR_USB;
    }
}

OpenDevice::~OpenDevice()
{
    if (!handle)
        return;
    libusb_close(handle);
}

DfuStatus openDevice(const std::string &path, std::shared_ptr<OpenDevice> &out)
{
    if (path.size() > MaxPathLength)
        return DFU_ERROR_PATH_TOO_LONG;
    if (!usbContext())
        return DFU_ERROR_USB;
    std::lock_guard<std::mutex> lock(openMutex);

    libusb_device *found = nullptr;
    int foundInterface = -1;
    forEachDfuInterface([&](libusb_device *dev, const std::string &p, int number) {
        if (p == path && !found) {
            found = libusb_ref_device(dev);
            foundInterface = number;
        }
    });
    if (!found)
        return DFU_ERROR_NO_DEVICE;

    // Reuse the handle already open on this device, unless it belongs to an earlier
    // device that was unplugged from the same port.
    auto &cache = openDevices();
    if (auto existing = cache[path].lock()) {
        if (!existing->gone && existing->address == libusb_get_device_address(found)) {
            libusb_unref_device(found);
            out = existing;
            return DFU_OK;
        }
    }

    auto device = std::make_shared<OpenDevice>();
    device->path = path;
    device->busNumber = libusb_get_bus_number(found);
    device->address = libusb_get_device_address(found);
    device->interfaceNumber = foundInterface;
    libusb_device_descriptor d;
    int r = libusb_get_device_descriptor(found, &d);
    if (r == LIBUSB_SUCCESS)
        r = libusb_open(found, &device->handle);
    libusb_unref_device(found);
    if (r != LIBUSB_SUCCESS) {
        if (r == LIBUSB_ERROR_ACCESS)
            dfulib::log(DFU_LOG_WARNING, "DFU: permission denied opening %s: %s.", path.c_str(), UdevRulesHint);
        else
            dfulib::log(DFU_LOG_WARNING, "DFU: cannot open %s: %s", path.c_str(), libusb_error_name(r));
        return statusFromUsb(r);
    }
    device->descriptor.bLength = d.bLength;
    device->descriptor.bDescriptorType = d.bDescriptorType;
    device->descriptor.bcdUSB = d.bcdUSB;
    device->descriptor.bDeviceClass = d.bDeviceClass;
    device->descriptor.bDeviceSubClass = d.bDeviceSubClass;
    device->descriptor.bDeviceProtocol = d.bDeviceProtocol;
    device->descriptor.bMaxPacketSize0 = d.bMaxPacketSize0;
    device->descriptor.idVendor = d.idVendor;
    device->descriptor.idProduct = d.idProduct;
    device->descriptor.bcdDevice = d.bcdDevice;
    device->descriptor.iManufacturer = d.iManufacturer;
    device->descriptor.iProduct = d.iProduct;
    device->descriptor.iSerialNumber = d.iSerialNumber;
    device->descriptor.bNumConfigurations = d.bNumConfigurations;

    // Not claimed here: what the list needs is read without it, and an operation claims the
    // interface for its own time only, so that another program may use the device meanwhile.
    cache[path] = device;
    out = device;
    return DFU_OK;
}

DfuStatus readString(OpenDevice &device, uint8_t index, std::string &out)
{
    uint8_t buffer[255];
    if (device.languageId == 0) {
        const int r = controlIn(device, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0,
                                buffer, sizeof buffer);
        if (r == LIBUSB_ERROR_NO_DEVICE)
            return statusFromUsb(r);
        // Devices without a language list (string 0 stalled or malformed) answer in English.
        uint16_t language = 0;
        if (r < 0 || !parseLanguageIds(buffer, size_t(r), language) || language == 0)
            language = 0x0409;
        device.languageId = language;
    }
    const int r = controlIn(device, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                            uint16_t((LIBUSB_DT_STRING << 8) | index), device.languageId.load(), buffer, sizeof buffer);
    if (r < 0)
        return statusFromUsb(r);
    return parseStringDescriptor(buffer, size_t(r), out) ? DFU_OK : DFU_ERROR_DESCRIPTOR;
}

DfuStatus readInterfaceInfo(OpenDevice &device, DfuInterfaceInfo &info)
{
    info = DfuInterfaceInfo();
    libusb_device *dev = libusb_get_device(device.handle);
    libusb_config_descriptor *config = configOf(dev);
    if (!config)
        return device.gone ? DFU_ERROR_DEVICE_GONE : DFU_ERROR_DESCRIPTOR;
    for (uint8_t n = 0; n < config->bNumInterfaces; ++n) {
        const libusb_interface &iface = config->interface[n];
        if (iface.num_altsetting <= 0 || iface.altsetting[0].bInterfaceNumber != device.interfaceNumber)
            continue;
        info.interfaceNumber = device.interfaceNumber;
        for (int a = 0; a < iface.num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = iface.altsetting[a];
            if (!isDfuAltsetting(alt))
                continue;
            info.alternates.push_back(alt.bAlternateSetting);
            info.stringIndexes.push_back(alt.iInterface);
            if (!info.hasFunctional && alt.extra_length > 0)
                info.hasFunctional = findFunctionalDescriptor(alt.extra, size_t(alt.extra_length), info.functional);
        }
    }
    if (!info.hasFunctional && config->extra_length > 0)
        info.hasFunctional = findFunctionalDescriptor(config->extra, size_t(config->extra_length), info.functional);
    libusb_free_config_descriptor(config);
    if (info.alternates.empty())
        return DFU_ERROR_NOT_DFU;
    return info.hasFunctional ? DFU_OK : DFU_ERROR_DESCRIPTOR;
}

} // namespace dfulib

DfuStatus DFUDEV_Enumerate(DfuPresentInterface *interfaces, uint32_t maxInterfaces, uint32_t *count)
{
    if (!count || (maxInterfaces > 0 && !interfaces))
        return DFU_ERROR_INVALID_PARAMETER;
    if (!usbContext())
        return DFU_ERROR_USB;
    uint32_t n = 0;
    forEachDfuInterface([&](libusb_device *dev, const std::string &path, int) {
        if (n < maxInterfaces) {
            DfuPresentInterface &out = interfaces[n];
            std::snprintf(out.path, sizeof out.path, "%s", path.c_str());
            out.busNumber = libusb_get_bus_number(dev);
            out.deviceAddress = libusb_get_device_address(dev);
        }
        ++n;
    });
    *count = n;
    return DFU_OK;
}

DfuStatus DFUDEV_Open(const char *path, DfuDeviceHandle *handle)
{
    if (!path || !handle)
        return DFU_ERROR_INVALID_PARAMETER;
    std::shared_ptr<OpenDevice> device;
    const DfuStatus status = openDevice(path, device);
    if (status != DFU_OK)
        return status;
    *handle = deviceHandles().add(std::make_shared<std::shared_ptr<OpenDevice>>(device));
    return DFU_OK;
}

DfuStatus DFUDEV_Close(DfuDeviceHandle *handle)
{
    if (!handle || !deviceHandles().take(*handle))
        return DFU_ERROR_INVALID_HANDLE;
    *handle = 0;
    return DFU_OK;
}

DfuStatus DFUDEV_GetDeviceDescriptor(DfuDeviceHandle *handle, DfuUsbDeviceDescriptor *descriptor)
{
    if (!descriptor)
        return DFU_ERROR_INVALID_PARAMETER;
    const auto device = deviceFor(handle);
    if (!device)
        return DFU_ERROR_INVALID_HANDLE;
    *descriptor = device->descriptor;
    return DFU_OK;
}

DfuStatus DFUDEV_GetStringDescriptor(DfuDeviceHandle *handle, uint8_t index, char *buffer, uint32_t size)
{
    if (!buffer || size == 0)
        return DFU_ERROR_INVALID_PARAMETER;
    buffer[0] = '\0';
    const auto device = deviceFor(handle);
    if (!device)
        return DFU_ERROR_INVALID_HANDLE;
    if (index == 0)
        return DFU_ERROR_INVALID_PARAMETER;
    std::string text;
    const DfuStatus status = readString(*device, index, text);
    if (status != DFU_OK)
        return status;
    const size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return DFU_OK;
}

DfuStatus DFUDEV_GetDFUDescriptor(DfuDeviceHandle *handle, uint32_t *interfaceNumber, uint32_t *alternateCount,
                                  DfuFunctionalDescriptor *descriptor)
{
    if (!interfaceNumber || !alternateCount || !descriptor)
        return DFU_ERROR_INVALID_PARAMETER;
    const auto device = deviceFor(handle);
    if (!device)
        return DFU_ERROR_INVALID_HANDLE;
    DfuInterfaceInfo info;
    const DfuStatus status = readInterfaceInfo(*device, info);
    if (status != DFU_OK)
        return status;
    *interfaceNumber = uint32_t(info.interfaceNumber);
    *alternateCount = uint32_t(info.alternates.size());
    *descriptor = info.functional;
    return DFU_OK;
}

DfuStatus DFUOPS_CreateMappingFromDevice(const char *path, DfuMappingRecord **mapping, uint32_t *alternateCount)
{
    if (!path || !mapping || !alternateCount)
        return DFU_ERROR_INVALID_PARAMETER;
    std::shared_ptr<OpenDevice> device;
    DfuStatus status = openDevice(path, device);
    if (status != DFU_OK)
        return status;
    DfuInterfaceInfo info;
    status = readInterfaceInfo(*device, info);
    if (status != DFU_OK)
        return status;

    auto data = std::make_shared<MappingData>();
    data->path = path;
    for (size_t i = 0; i < info.alternates.size(); ++i) {
        std::string text;
        status = readString(*device, info.stringIndexes[i], text);
        if (status != DFU_OK)
            return status;
        MemoryLayout layout;
        if (parseMemoryLayout(text, layout) != DFU_OK) {
            dfulib::log(DFU_LOG_WARNING, "DFU: alternate %u of %s has a malformed memory layout: \"%s\"",
                info.alternates[i], path, text.c_str());
            return DFU_ERROR_LAYOUT;
        }
        data->alternates.push_back(info.alternates[i]);
        data->layouts.push_back(std::move(layout));
    }

    const size_t n = data->alternates.size();
    auto *records = new DfuMappingRecord[n];
    std::memset(records, 0, sizeof(DfuMappingRecord) * n);
    std::vector<std::string> names;
    for (const MemoryLayout &l : data->layouts)
        names.push_back(l.name);
    const std::vector<uint8_t> alternates = data->alternates;
    const uint32_t id = mappings().add(std::move(data));
    for (size_t i = 0; i < n; ++i) {
        records[i].alternate = alternates[i];
        std::snprintf(records[i].name, sizeof records[i].name, "%s", names[i].c_str());
        records[i].mappingId = id;
        records[i].alternateIndex = uint32_t(i);
    }
    *mapping = records;
    *alternateCount = uint32_t(n);
    return DFU_OK;
}

DfuStatus DFUOPS_ReleaseMapping(DfuMappingRecord *mapping)
{
    if (!mapping)
        return DFU_OK;
    mappings().take(mapping[0].mappingId);
    delete[] mapping;
    return DFU_OK;
}

DfuStatus DFUOPS_GetMappingLayout(const DfuMappingRecord *record, char *buffer, uint32_t size)
{
    if (!record || !buffer || size == 0)
        return DFU_ERROR_INVALID_PARAMETER;
    buffer[0] = '\0';
    const auto mapping = mappings().get(record->mappingId);
    if (!mapping || record->alternateIndex >= mapping->layouts.size())
        return DFU_ERROR_INVALID_HANDLE;
    std::string text;
    uint64_t regionEnd = UINT64_MAX;
    for (const SectorGroup &g : mapping->layouts[record->alternateIndex].groups) {
        char part[48];
        const bool kib = g.size % 1024 == 0;
        std::snprintf(part, sizeof part, "%s%02u*%03u%s%c", g.start == regionEnd ? "," : "", g.count,
                      kib ? g.size / 1024 : g.size, kib ? "K" : " ", char('a' + g.access - 1));
        if (g.start != regionEnd) {
            char start[16];
            std::snprintf(start, sizeof start, "/0x%08X/", g.start);
            text += start;
        }
        text += part;
        regionEnd = g.end();
    }
    const size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return DFU_OK;
}
