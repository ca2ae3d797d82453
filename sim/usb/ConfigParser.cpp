#include "ConfigParser.h"

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

namespace {

struct Alt
{
    libusb_interface_descriptor descriptor{};
    std::vector<libusb_endpoint_descriptor> endpoints;
    std::vector<std::vector<uint8_t>> endpointExtra;
    std::vector<uint8_t> extra;
};

struct Storage
{
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::deque<std::vector<libusb_interface_descriptor>> altsettings;
    std::deque<std::vector<libusb_endpoint_descriptor>> endpoints;
    std::deque<std::vector<uint8_t>> extras;

    const unsigned char *keep(std::vector<uint8_t> bytes, int &length)
    {
        length = int(bytes.size());
        if (bytes.empty())
            return nullptr;
        extras.push_back(std::move(bytes));
        return extras.back().data();
    }
};

std::mutex storageMutex;
std::map<const libusb_config_descriptor *, std::unique_ptr<Storage>> &storages()
{
    static std::map<const libusb_config_descriptor *, std::unique_ptr<Storage>> map;
    return map;
}

} // namespace

int parseConfigDescriptor(const uint8_t *data, size_t size, libusb_config_descriptor **config)
{
    if (!config || size < 9 || data[0] < 9 || data[1] != LIBUSB_DT_CONFIG)
        return LIBUSB_ERROR_IO;
    const size_t total = std::min<size_t>(size, size_t(data[2] | (data[3] << 8)));
    auto storage = std::make_unique<Storage>();
    libusb_config_descriptor &c = storage->config;
    c.bLength = data[0];
    c.bDescriptorType = data[1];
    c.wTotalLength = uint16_t(total);
    c.bConfigurationValue = data[5];
    c.iConfiguration = data[6];
    c.bmAttributes = data[7];
    c.MaxPower = data[8];

    std::vector<uint8_t> configExtra;
    std::vector<std::pair<uint8_t, std::vector<Alt>>> interfaces; // by interface number, in order met
    Alt *current = nullptr;
    size_t pos = data[0];
    while (pos + 2 <= total) {
        const uint8_t length = data[pos];
        const uint8_t type = data[pos + 1];
        if (length < 2 || pos + length > total)
            return LIBUSB_ERROR_IO;
        const uint8_t *d = data + pos;
        if (type == LIBUSB_DT_INTERFACE) {
            if (length < 9)
                return LIBUSB_ERROR_IO;
            std::vector<Alt> *group = nullptr;
            for (auto &entry : interfaces)
                if (entry.first == d[2])
                    group = &entry.second;
            if (!group) {
                interfaces.emplace_back(d[2], std::vector<Alt>());
                group = &interfaces.back().second;
            }
            group->emplace_back();
            current = &group->back();
            libusb_interface_descriptor &i = current->descriptor;
            i.bLength = d[0];
            i.bDescriptorType = d[1];
            i.bInterfaceNumber = d[2];
            i.bAlternateSetting = d[3];
            i.bNumEndpoints = d[4];
            i.bInterfaceClass = d[5];
            i.bInterfaceSubClass = d[6];
            i.bInterfaceProtocol = d[7];
            i.iInterface = d[8];
        } else if (type == LIBUSB_DT_ENDPOINT && current) {
            if (length < 7)
                return LIBUSB_ERROR_IO;
            libusb_endpoint_descriptor e{};
            e.bLength = d[0];
            e.bDescriptorType = d[1];
            e.bEndpointAddress = d[2];
            e.bmAttributes = d[3];
            e.wMaxPacketSize = uint16_t(d[4] | (d[5] << 8));
            e.bInterval = d[6];
            current->endpoints.push_back(e);
            current->endpointExtra.emplace_back();
        } else if (current && !current->endpoints.empty()) {
            current->endpointExtra.back().insert(current->endpointExtra.back().end(), d, d + length);
        } else if (current) {
            current->extra.insert(current->extra.end(), d, d + length);
        } else {
            configExtra.insert(configExtra.end(), d, d + length);
        }
        pos += length;
    }

    c.extra = storage->keep(std::move(configExtra), c.extra_length);
    c.bNumInterfaces = uint8_t(interfaces.size());
    storage->interfaces.resize(interfaces.size());
    for (size_t n = 0; n < interfaces.size(); ++n) {
        std::vector<Alt> &alts = interfaces[n].second;
        storage->altsettings.emplace_back();
        std::vector<libusb_interface_descriptor> &descs = storage->altsettings.back();
        for (Alt &alt : alts) {
            libusb_interface_descriptor d = alt.descriptor;
            d.extra = storage->keep(std::move(alt.extra), d.extra_length);
            for (size_t e = 0; e < alt.endpoints.size(); ++e)
                alt.endpoints[e].extra = storage->keep(std::move(alt.endpointExtra[e]), alt.endpoints[e].extra_length);
            d.bNumEndpoints = uint8_t(alt.endpoints.size());
            storage->endpoints.push_back(std::move(alt.endpoints));
            d.endpoint = storage->endpoints.back().empty() ? nullptr : storage->endpoints.back().data();
            descs.push_back(d);
        }
        storage->interfaces[n].altsetting = descs.data();
        storage->interfaces[n].num_altsetting = int(descs.size());
    }
    c.interface = storage->interfaces.empty() ? nullptr : storage->interfaces.data();

    *config = &storage->config;
    std::lock_guard<std::mutex> lock(storageMutex);
    storages().emplace(&storage->config, std::move(storage));
    return LIBUSB_SUCCESS;
}

void freeConfigDescriptor(libusb_config_descriptor *config)
{
    std::lock_guard<std::mutex> lock(storageMutex);
    storages().erase(config);
}

} // namespace sim
