#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>

namespace sim {

// Builds libusb's configuration structures from the bytes of a configuration descriptor,
// the way libusb does for a real device: class-specific descriptors go to the `extra`
// bytes of the interface or endpoint they follow. Returns a libusb error code.
int parseConfigDescriptor(const uint8_t *data, size_t size, libusb_config_descriptor **config);
void freeConfigDescriptor(libusb_config_descriptor *config);

} // namespace sim
