// The libusb functions that our code and ordinary libusb clients use, over sim::World.
// Linked instead of the real libusb into tests and the demo, or preloaded into an
// unmodified libusb program (see WorldFile.cpp).

#include "../World.h"
#include "ConfigParser.h"

#include <libusb.h>

#include <atomic>
#include <cstdarg>
#include <cstring>

struct libusb_context
{
    int debugLevel = 0;
};

struct libusb_device
{
    std::atomic<int> references{1};
    sim::PluggedDevice plugged;
};

struct libusb_device_handle
{
    libusb_device *device = nullptr;
    uint32_t claimed = 0; // bit per interface
};

namespace {

libusb_context defaultContext;

sim::UsbDeviceModel &modelOf(libusb_device *dev)
{
    return *dev->plugged.model;
}

} // namespace

// Defined in WorldFile.cpp: loads a world from the file named by the environment in the
// preloadable build, and does nothing in the static one.
void tolvexSimLoadWorldOnce();

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    tolvexSimLoadWorldOnce();
    if (ctx)
        *ctx = new libusb_context;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx)
{
    if (ctx != &defaultContext)
        delete ctx;
}

#if defined(LIBUSB_API_VERSION) && LIBUSB_API_VERSION >= 0x0100010A
int LIBUSB_CALL libusb_init_context(libusb_context **ctx, const struct libusb_init_option[], int)
{
    return libusb_init(ctx);
}
#endif

int LIBUSB_CALL libusb_set_option(libusb_context *, enum libusb_option, ...)
{
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_set_debug(libusb_context *ctx, int level)
{
    (ctx ? ctx : &defaultContext)->debugLevel = level;
}

const struct libusb_version *LIBUSB_CALL libusb_get_version(void)
{
    static const libusb_version version = {1, 0, 26, 0, "-tolvex-sim", "simulated devices"};
    return &version;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    if (!list)
        return LIBUSB_ERROR_INVALID_PARAM;
    const std::vector<sim::PluggedDevice> devices = sim::World::instance().devices();
    auto **out = new libusb_device *[devices.size() + 1];
    for (size_t i = 0; i < devices.size(); ++i) {
        out[i] = new libusb_device;
        out[i]->plugged = devices[i];
    }
    out[devices.size()] = nullptr;
    *list = out;
    return ssize_t(devices.size());
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev)
{
    ++dev->references;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *dev)
{
    if (dev && --dev->references == 0)
        delete dev;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref)
{
    if (!list)
        return;
    if (unref)
        for (libusb_device **d = list; *d; ++d)
            libusb_unref_device(*d);
    delete[] list;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    const std::vector<uint8_t> d = modelOf(dev).deviceDescriptor();
    if (d.size() != sizeof *desc)
        return LIBUSB_ERROR_IO;
    std::memcpy(desc, d.data(), sizeof *desc);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *dev, uint8_t index, struct libusb_config_descriptor **config)
{
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    const std::vector<uint8_t> bytes = modelOf(dev).configDescriptor();
    return sim::parseConfigDescriptor(bytes.data(), bytes.size(), config);
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *dev, struct libusb_config_descriptor **config)
{
    return libusb_get_config_descriptor(dev, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    sim::freeConfigDescriptor(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *dev)
{
    return dev->plugged.bus;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev)
{
    return dev->plugged.address;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *dev, uint8_t *ports, int length)
{
    const std::vector<uint8_t> &chain = dev->plugged.ports;
    if (length < int(chain.size()))
        return LIBUSB_ERROR_OVERFLOW;
    std::memcpy(ports, chain.data(), chain.size());
    return int(chain.size());
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device *)
{
    return LIBUSB_SPEED_FULL;
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    if (!modelOf(dev).connected())
        return LIBUSB_ERROR_NO_DEVICE;
    if (modelOf(dev).isOpenDenied())
        return LIBUSB_ERROR_ACCESS;
    auto *h = new libusb_device_handle;
    h->device = libusb_ref_device(dev);
    *handle = h;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    if (!handle)
        return;
    libusb_unref_device(handle->device);
    delete handle;
}

libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *handle)
{
    return handle->device;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *handle, int *config)
{
    if (!modelOf(handle->device).connected())
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char *data, uint16_t length,
                                        unsigned int timeout)
{
    if (!handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (length > 0 && !data)
        return LIBUSB_ERROR_INVALID_PARAM;
    // Linux's usbfs refuses control transfers of more than a page of data.
    if (length > 4096)
        return LIBUSB_ERROR_INVALID_PARAM;
    sim::SetupPacket setup;
    setup.bmRequestType = requestType;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = length;
    setup.timeoutMs = timeout;
    const sim::ControlResult r = modelOf(handle->device).control(setup, data);
    switch (r.outcome) {
    case sim::ControlResult::Ok:
        return int(r.length);
    case sim::ControlResult::Stall:
        return LIBUSB_ERROR_PIPE;
    case sim::ControlResult::TimedOut:
        return LIBUSB_ERROR_TIMEOUT;
    case sim::ControlResult::Disconnected:
        switch (r.lostAs) {
        case sim::ControlResult::IoError: return LIBUSB_ERROR_IO;
        case sim::ControlResult::PipeError: return LIBUSB_ERROR_PIPE;
        case sim::ControlResult::Timeout: return LIBUSB_ERROR_TIMEOUT;
        case sim::ControlResult::NoDevice: return LIBUSB_ERROR_NO_DEVICE;
        }
    }
    return LIBUSB_ERROR_OTHER;
}

static int standardOut(libusb_device_handle *handle, uint8_t request, uint16_t value, uint16_t index)
{
    const int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_OUT | LIBUSB_RECIPIENT_INTERFACE, request, value,
                                          index, nullptr, 0, 1000);
    return r < 0 ? r : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *handle, int configuration)
{
    const int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_OUT, LIBUSB_REQUEST_SET_CONFIGURATION,
                                          uint16_t(configuration), 0, nullptr, 0, 1000);
    return r < 0 ? r : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interfaceNumber)
{
    if (interfaceNumber < 0 || interfaceNumber > 31)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!modelOf(handle->device).connected())
        return LIBUSB_ERROR_NO_DEVICE;
    if (modelOf(handle->device).isClaimedElsewhere())
        return LIBUSB_ERROR_BUSY;
    handle->claimed |= 1u << interfaceNumber;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interfaceNumber)
{
    if (interfaceNumber < 0 || interfaceNumber > 31 || !(handle->claimed & (1u << interfaceNumber)))
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed &= ~(1u << interfaceNumber);
    return modelOf(handle->device).connected() ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle *handle, int interfaceNumber, int alternate)
{
    if (interfaceNumber < 0 || interfaceNumber > 31 || !(handle->claimed & (1u << interfaceNumber)))
        return LIBUSB_ERROR_NOT_FOUND;
    const int r = standardOut(handle, LIBUSB_REQUEST_SET_INTERFACE, uint16_t(alternate), uint16_t(interfaceNumber));
    return r == LIBUSB_ERROR_PIPE ? LIBUSB_ERROR_NOT_FOUND : r;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index, unsigned char *data,
                                                   int length)
{
    if (index == 0 || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char buffer[255];
    int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0,
                                    buffer, sizeof buffer, 1000);
    if (r < 0)
        return r;
    if (r < 4)
        return LIBUSB_ERROR_IO;
    const uint16_t language = uint16_t(buffer[2] | (buffer[3] << 8));
    r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                uint16_t((LIBUSB_DT_STRING << 8) | index), language, buffer, sizeof buffer, 1000);
    if (r < 0)
        return r;
    if (r < 2 || buffer[1] != LIBUSB_DT_STRING || buffer[0] > r)
        return LIBUSB_ERROR_IO;
    int out = 0;
    for (int i = 2; i + 1 < buffer[0] && out < length - 1; i += 2)
        data[out++] = (buffer[i + 1] || (buffer[i] & 0x80)) ? '?' : buffer[i];
    data[out] = 0;
    return out;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle *handle)
{
    sim::UsbDeviceModel &model = modelOf(handle->device);
    if (!model.connected())
        return LIBUSB_ERROR_NO_DEVICE;
    model.busReset();
    // A device that left on the reset re-enumerates elsewhere: this handle has lost it.
    return model.connected() ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *handle, int)
{
    return modelOf(handle->device).connected() ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *, int)
{
    return LIBUSB_ERROR_NOT_FOUND; // no kernel driver is bound to a simulated interface
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int)
{
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context *, struct timeval *)
{
    return LIBUSB_SUCCESS; // every simulated transfer completes synchronously
}

int LIBUSB_CALL libusb_handle_events(libusb_context *)
{
    return LIBUSB_SUCCESS;
}

const char *LIBUSB_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}

const char *LIBUSB_CALL libusb_strerror(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
    }
}

} // extern "C"
