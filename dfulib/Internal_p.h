#pragma once

// What the library's parts share: images, mappings and the open devices.

#include "DfuFileFormat.h"
#include "MemoryLayout.h"
#include "Registry_p.h"
#include "dfulib.h"

#include <libusb.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace dfulib {

// A diagnostic to the program's handler (DFU_SetLogHandler), formatted as printf does.
void log(DfuLogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

struct ImageData
{
    Target target;

    // Set by DFUFILES_FilterImageForOperation.
    int32_t filteredFor = 0;
    DfuStatus filterStatus = DFU_ERROR_NOT_FILTERED;
    uint8_t filterAlternate = 0;
    MemoryLayout layout;
    std::vector<Sector> eraseSectors; // erase: the sectors to erase, in order
    std::vector<std::pair<uint32_t, uint32_t>> uploadPlan; // upload: (address, size) to read
};

struct MappingData
{
    std::string path;
    std::vector<uint8_t> alternates;
    std::vector<MemoryLayout> layouts;
};

Registry<ImageData> &images();
Registry<MappingData> &mappings();

// An open device, shared by every handle and operation on the same path. Its interface is
// claimed only while an operation runs.
struct OpenDevice
{
    ~OpenDevice();

    std::string path;
    libusb_device_handle *handle = nullptr;
    uint8_t busNumber = 0;
    uint8_t address = 0;
    int interfaceNumber = -1;
    DfuUsbDeviceDescriptor descriptor{};
    std::atomic<uint16_t> languageId{0}; // 0 until string descriptor 0 has been read
    std::atomic<bool> gone{false}; // set when a transfer reported the device missing
    std::atomic<bool> honourPolls{false}; // set once it stalled an early status request
    std::atomic<bool> operationRunning{false};
};

// The library's libusb context, created on first use.
libusb_context *usbContext();

// Opens the device at `path`, or returns the one already open there.
DfuStatus openDevice(const std::string &path, std::shared_ptr<OpenDevice> &out);

// Reads string descriptor `index` as 8-bit text (at most 126 characters).
DfuStatus readString(OpenDevice &device, uint8_t index, std::string &out);

// Finds the DFU interface's alternate settings and functional descriptor.
struct DfuInterfaceInfo
{
    int interfaceNumber = -1;
    std::vector<uint8_t> alternates;
    std::vector<uint8_t> stringIndexes;
    DfuFunctionalDescriptor functional{};
    bool hasFunctional = false;
};
DfuStatus readInterfaceInfo(OpenDevice &device, DfuInterfaceInfo &info);

// Maps a libusb error to our status.
DfuStatus statusFromUsb(int usbError);

} // namespace dfulib
