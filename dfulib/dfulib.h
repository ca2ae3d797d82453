#pragma once

// Our DFU library: USB DFU 1.1 devices with the address-extended protocol (memory-layout
// strings, Set Address / Erase commands), multi-image .dfu files, and erase, upgrade,
// upload and return-to-application operations that run on worker threads of their own.
//
// Conventions for every call:
// - The result is a DfuStatus: DFU_OK (0x12340000) for success, any other value names the
//   failure; DFU_StatusText() gives its text.
// - Handles (device, image, file) are small numbers from registries; 0 is never a valid
//   handle. Using an unknown or already released handle gives DFU_ERROR_INVALID_HANDLE,
//   never a crash.
// - Texts passed in and out (device paths, file paths, names) are 8-bit, NUL-terminated.
// - Every call may be made from any thread. Device calls use libusb, which the program
//   links (the real library, or the simulated devices of sim/).

#include <cstddef>
#include <cstdint>

using DfuStatus = uint32_t;
using DfuDeviceHandle = uint32_t;
using DfuImageHandle = uint32_t;
using DfuFileHandle = uint32_t;

// Keep every code beside its text in DFU_StatusText().
enum DfuStatusCode : DfuStatus {
    DFU_OK = 0x12340000u,
    DFU_ERROR_INVALID_PARAMETER = 0x12340001u,
    DFU_ERROR_INVALID_HANDLE = 0x12340002u,
    DFU_ERROR_OUT_OF_MEMORY = 0x12340003u,

    DFU_ERROR_FILE_OPEN = 0x12340010u,
    DFU_ERROR_FILE_NOT_DFU = 0x12340011u,
    DFU_ERROR_FILE_PLAIN_DFU = 0x12340012u,
    DFU_ERROR_FILE_VERSION = 0x12340013u,
    DFU_ERROR_FILE_SUFFIX = 0x12340014u,
    DFU_ERROR_FILE_CRC = 0x12340015u,
    DFU_ERROR_FILE_TRUNCATED = 0x12340016u,
    DFU_ERROR_FILE_TARGET = 0x12340017u,
    DFU_ERROR_FILE_SIZE_MISMATCH = 0x12340018u,
    DFU_ERROR_FILE_WRITE = 0x12340019u,
    DFU_ERROR_FILE_TOO_LARGE = 0x1234001Au,
    DFU_ERROR_IMAGE_INDEX = 0x1234001Bu,
    DFU_ERROR_FILE_EXISTS = 0x1234001Cu,

    DFU_ERROR_NO_DEVICE = 0x12340020u,
    DFU_ERROR_ACCESS = 0x12340021u,
    DFU_ERROR_USB = 0x12340022u,
    DFU_ERROR_DESCRIPTOR = 0x12340023u,
    DFU_ERROR_NOT_DFU = 0x12340024u,
    DFU_ERROR_LAYOUT = 0x12340025u,
    DFU_ERROR_PATH_TOO_LONG = 0x12340026u,

    DFU_ERROR_DEVICE_STATUS = 0x12340030u,
    DFU_ERROR_DEVICE_STATE = 0x12340031u,
    DFU_ERROR_DEVICE_BUSY = 0x12340032u,
    DFU_ERROR_DEVICE_GONE = 0x12340033u,
    DFU_ERROR_VERIFY = 0x12340034u,
    DFU_ERROR_ADDRESS = 0x12340035u,
    DFU_ERROR_NOT_WRITEABLE = 0x12340036u,
    DFU_ERROR_STOPPED = 0x12340037u,
    DFU_ERROR_OPERATION = 0x12340038u,
    DFU_ERROR_NOT_FILTERED = 0x12340039u,
    DFU_ERROR_STALL = 0x1234003Au,
    DFU_ERROR_EMPTY_IMAGE = 0x1234003Bu,
    DFU_ERROR_CLAIMED = 0x1234003Cu,
    DFU_ERROR_NOT_LEFT = 0x1234003Du,
    DFU_ERROR_OVERLAP = 0x1234003Eu,
    DFU_ERROR_NOT_READABLE = 0x1234003Fu,
};

// Text for a status; never null. Unknown values give "unknown status".
const char *DFU_StatusText(DfuStatus status);

// The library's diagnostics (a device that stalls or cannot be opened, an operation that
// failed and why) go to the handler the program installs, called on the thread where they
// arise, so it must be safe on any thread. Without one they are dropped. A message is one
// line without a newline; the handler may keep no pointer to it.
enum DfuLogLevel : int32_t { DFU_LOG_DEBUG = 0, DFU_LOG_WARNING = 1 };
typedef void (*DfuLogHandler)(DfuLogLevel level, const char *message, void *user);
void DFU_SetLogHandler(DfuLogHandler handler, void *user);

// Operation codes of the context's operation field.
enum : int32_t {
    DFU_OPERATION_RETURN = 1,
    DFU_OPERATION_UPLOAD = 2,
    DFU_OPERATION_ERASE = 3,
    DFU_OPERATION_UPGRADE = 4,
    // Erase, write and verify one image in one operation: its phase goes from
    // DFU_PHASE_ERASE to DFU_PHASE_WRITE and DFU_PHASE_VERIFY, and its percent starts
    // again from 0 when the write begins (the erase's share, then the write's and verify's).
    DFU_OPERATION_DOWNLOAD = 5,
};

// Bits of the context's flag field. A download (only a download) first reads each erasable
// sector it touches and leaves the ones that already hold what the image wants there (its
// bytes, 0xFF elsewhere): neither erased nor written. What it learns is the operation's own
// and ends with it. DFU_FLAG_FULL_DOWNLOAD erases and writes every touched sector instead.
// A plain erase always erases every sector it is given.
enum : int32_t {
    DFU_FLAG_FULL_DOWNLOAD = 1,
    // A download that only compares: each sector is read and the counts of the context say
    // how many would be kept; nothing is erased or written.
    DFU_FLAG_COMPARE_ONLY = 2,
};

// Values of the context's phase field.
enum : uint32_t {
    DFU_PHASE_IDLE = 0,
    DFU_PHASE_ERASE = 1,  // comparing and erasing
    DFU_PHASE_WRITE = 2,
    DFU_PHASE_VERIFY = 3,
    DFU_PHASE_READ = 4,
    DFU_PHASE_LEAVE = 5,
    DFU_PHASE_DONE = 6,
};

#pragma pack(push, 1)

// The USB device descriptor as the device sends it (USB 2.0, 18 bytes).
struct DfuUsbDeviceDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
static_assert(sizeof(DfuUsbDeviceDescriptor) == 18, "USB device descriptor is 18 bytes");

// The DFU functional descriptor of the USB DFU 1.1 standard (9 bytes).
struct DfuFunctionalDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bmAttributes;
    uint16_t wDetachTimeOut;
    uint16_t wTransferSize;
    uint16_t bcdDFUVersion;
};
static_assert(sizeof(DfuFunctionalDescriptor) == 9, "DFU functional descriptor is 9 bytes");

// One alternate setting of a device's DFU interface: its number, the name of its memory
// (from its memory-layout string), and the library's reference to the parsed layout.
struct DfuMappingRecord
{
    uint8_t alternate;
    char name[260];
    uint32_t mappingId;
    uint32_t alternateIndex;
};
static_assert(sizeof(DfuMappingRecord) == 269, "mapping record is 269 bytes");

// The state of one operation, exchanged by value. Fields marked "library" are filled by
// the library for diagnostics; callers set the first six fields before launching.
struct DfuOperationContext
{
    uint8_t dfuInterfaceGuid[16];
    uint8_t appInterfaceGuid[16];
    int32_t operation;
    int32_t flag;               // DFU_FLAG_* bits
    DfuImageHandle image;
    char devicePath[260];
    uint32_t phase;             // library: 0 idle, 1 erase, 2 write, 3 verify, 4 read, 5 leave, 6 done
    uint8_t percent;            // 0 to 100; 100 only once the operation has fully succeeded
    uint8_t lastDeviceState;    // library: bState of the last status answer
    uint8_t lastDeviceStatus;   // library: bStatus of the last status answer
    uint8_t reserved0;
    uint32_t bytesDone;         // library
    uint32_t bytesTotal;        // library
    uint32_t failedAddress;     // library: address of the failing command or mismatch
    int32_t usbError;           // library: the libusb error code behind a USB failure
    uint32_t elapsedMs;         // library
    uint32_t deviceWaitMs;      // library: time spent waiting for the device's poll timeouts
    uint8_t reserved1;
    DfuStatus errorStatus;      // DFU_OK while running and after success
    uint16_t sectorsTouched;    // library: download: the erasable sectors the image touches
    uint16_t sectorsKept;       // library: download: of those, the ones found holding the image
};
static_assert(sizeof(DfuOperationContext) == 345, "operation context is 345 bytes");
static_assert(offsetof(DfuOperationContext, operation) == 32, "layout");
static_assert(offsetof(DfuOperationContext, flag) == 36, "layout");
static_assert(offsetof(DfuOperationContext, image) == 40, "layout");
static_assert(offsetof(DfuOperationContext, devicePath) == 44, "layout");
static_assert(offsetof(DfuOperationContext, percent) == 308, "layout");
static_assert(offsetof(DfuOperationContext, errorStatus) == 337, "layout");

#pragma pack(pop)

// ---- DFUDEV: device access --------------------------------------------------------

// A DFU-mode interface present on the bus. The path reads "usb:BUS-PORT.PORT...:CONFIG.INTERFACE"
// and is stable while the device stays on the same port; the device address changes
// whenever the device is plugged in again (or re-enumerates), so the pair tells whether
// this is still the device seen before.
struct DfuPresentInterface
{
    char path[260];
    uint8_t busNumber;
    uint8_t deviceAddress;
};

// Lists the present DFU-mode interfaces (class 0xFE, subclass 0x01, protocol 0x02) into
// `interfaces`, up to `maxInterfaces`; `*count` receives how many are present (it may
// exceed maxInterfaces). Makes no request to any device.
DfuStatus DFUDEV_Enumerate(DfuPresentInterface *interfaces, uint32_t maxInterfaces, uint32_t *count);

// Opens the device at `path`. The handle stays valid until DFUDEV_Close, even if the
// device goes away (calls then fail with DFU_ERROR_NO_DEVICE). A device that cannot be
// opened for lack of permission gives DFU_ERROR_ACCESS and a warning naming the udev rules.
DfuStatus DFUDEV_Open(const char *path, DfuDeviceHandle *handle);
// Releases the handle; the handle number is invalid afterwards.
DfuStatus DFUDEV_Close(DfuDeviceHandle *handle);

// Copies the 18-byte device descriptor.
DfuStatus DFUDEV_GetDeviceDescriptor(DfuDeviceHandle *handle, DfuUsbDeviceDescriptor *descriptor);
// Reads string descriptor `index` as 8-bit text into `buffer` of `size` bytes; the text is
// always NUL-terminated and cut to fit. Characters outside 8 bits become '?'.
DfuStatus DFUDEV_GetStringDescriptor(DfuDeviceHandle *handle, uint8_t index, char *buffer, uint32_t size);
// Finds the DFU interface: its number, its count of alternate settings, and the DFU
// functional descriptor (looked for after every alternate setting and the configuration).
DfuStatus DFUDEV_GetDFUDescriptor(DfuDeviceHandle *handle, uint32_t *interfaceNumber, uint32_t *alternateCount,
                                  DfuFunctionalDescriptor *descriptor);

// ---- DFUOPS: memory mapping and background operations -----------------------------

// Reads every alternate setting's memory-layout string of the device at `path` and
// returns an array of `*alternateCount` records, owned by the caller until
// DFUOPS_ReleaseMapping. A string that does not parse gives DFU_ERROR_LAYOUT.
DfuStatus DFUOPS_CreateMappingFromDevice(const char *path, DfuMappingRecord **mapping, uint32_t *alternateCount);
// The memory layout of one record as text, regions and sector groups in the layout
// string's own notation ("/0x08000000/04*016Kg,01*064Kg"), cut to fit `size` bytes.
DfuStatus DFUOPS_GetMappingLayout(const DfuMappingRecord *record, char *buffer, uint32_t size);
// Frees a mapping made by DFUOPS_CreateMappingFromDevice; null does nothing.
DfuStatus DFUOPS_ReleaseMapping(DfuMappingRecord *mapping);

// Starts the operation that `context` describes (operation, image, devicePath) on a worker
// thread of its own, and returns its code. The image must have been filtered for that
// operation; a filter that refused the image makes the launch fail with the filter's
// status, before the device is touched.
DfuStatus DFUOPS_LaunchOperation(DfuOperationContext *context, uint32_t *operationCode);
// Copies the live context of a running or ended operation.
DfuStatus DFUOPS_GetOperationStatus(uint32_t operationCode, DfuOperationContext *context);
// Stops the operation between two transfers if it still runs (its error status becomes
// DFU_ERROR_STOPPED), waits for its thread, copies its final context and forgets the code.
DfuStatus DFUOPS_StopOperation(uint32_t operationCode, DfuOperationContext *context);

// How long one command may keep the device busy before the operation gives up. Devices
// may report short poll timeouts while a mass erase takes tens of seconds; the default is
// 120000 ms. Returns the previous value.
uint32_t DFUOPS_SetBusyLimitMs(uint32_t milliseconds);

// Status requests go out as soon as a device can answer them, not after the poll timeout it
// reports: ROM boot loaders report far more than their flash work takes, and do that work
// inside the status request. A device that stalls such a request is repaired and waited out
// from then on. With `always`, every poll timeout is waited out from the start. Returns the
// previous setting.
bool DFUOPS_SetHonourPollTimeouts(bool always);

// ---- DFUFILES: images and multi-image .dfu files ----------------------------------

// An image holds one target of a .dfu file: alternate setting, name (up to 255 bytes),
// and elements (address and data).
DfuStatus DFUFILES_CreateImage(uint8_t alternate, const char *name, DfuImageHandle *image);
DfuStatus DFUFILES_CreateImageFromMapping(DfuImageHandle *image, const DfuMappingRecord *record);
DfuStatus DFUFILES_SetImageName(DfuImageHandle image, const char *name);
// Copies the name, NUL-terminated, into a buffer of at least 512 bytes (longer names are
// impossible: a .dfu target name has 255 bytes).
DfuStatus DFUFILES_GetImageName(DfuImageHandle image, char *buffer);
DfuStatus DFUFILES_GetImageAlternate(DfuImageHandle image, uint8_t *alternate);
DfuStatus DFUFILES_DuplicateImage(DfuImageHandle image, DfuImageHandle *copy);
// Releases the image and sets *image to 0; releasing it again gives DFU_ERROR_INVALID_HANDLE.
DfuStatus DFUFILES_DestroyImage(DfuImageHandle *image);
DfuStatus DFUFILES_AppendElement(DfuImageHandle image, uint32_t address, const uint8_t *data, uint32_t size);
DfuStatus DFUFILES_GetElementCount(DfuImageHandle image, uint32_t *count);
// Copies element `index`: its address and size, and as much data as fits in `data`
// (`capacity` bytes; data may be null to ask for the size only).
DfuStatus DFUFILES_GetElement(DfuImageHandle image, uint32_t index, uint32_t *address, uint32_t *size,
                              uint8_t *data, uint32_t capacity);

// Prepares `image` for `operation` on the alternate setting of `record`: checks its
// elements against the alternate's memory layout (erase, upgrade and download; an image
// without a byte to write gives DFU_ERROR_EMPTY_IMAGE, two elements that share an address
// DFU_ERROR_OVERLAP, named in a warning), or lays out what to read (upload): the whole
// readable memory for an image without elements, or the range of each element (an element
// without bytes: from its address to the end of the readable sectors that follow), which must
// lie in readable sectors (DFU_ERROR_NOT_READABLE) of the memory (DFU_ERROR_ADDRESS). The
// outcome is kept in the image and checked again at launch.
DfuStatus DFUFILES_FilterImageForOperation(DfuImageHandle image, const DfuMappingRecord *record, int32_t operation,
                                           uint32_t flags);

// Opens and checks a multi-image .dfu file: prefix, every target and element, suffix and
// CRC, each bounded by the real file length. Any inconsistency is an error status.
DfuStatus DFUFILES_OpenExistingDFUFile(const char *path, DfuFileHandle *file, uint16_t *vendorId, uint16_t *productId,
                                       uint16_t *release, uint8_t *imageCount);
// The same for a file already read into memory (`size` bytes at `bytes`, copied): a file whose
// signature was checked is parsed from the very bytes that were checked.
DfuStatus DFUFILES_OpenDFUFileFromMemory(const uint8_t *bytes, uint32_t size, DfuFileHandle *file, uint16_t *vendorId,
                                         uint16_t *productId, uint16_t *release, uint8_t *imageCount);
DfuStatus DFUFILES_ReadImageFromDFUFile(DfuFileHandle file, int32_t index, DfuImageHandle *image);
// Starts a new .dfu file; nothing appears at `path` until DFUFILES_CloseDFUFile writes it
// complete, with sizes and CRC. The folder must be writeable now. What is at `path` already
// (a file, or a symbolic link, which is replaced itself and never written through) is replaced.
DfuStatus DFUFILES_CreateNewDFUFile(const char *path, DfuFileHandle *file, uint16_t vendorId, uint16_t productId,
                                    uint16_t release);
// The same, with DFU_NEW_FILE_KEEP_EXISTING: nothing at `path` is replaced, now or when the file
// is written (DFU_ERROR_FILE_EXISTS).
enum { DFU_NEW_FILE_KEEP_EXISTING = 1 };
DfuStatus DFUFILES_CreateNewDFUFileEx(
    const char *path, DfuFileHandle *file, uint16_t vendorId, uint16_t productId, uint16_t release, uint32_t flags);
DfuStatus DFUFILES_AppendImageToDFUFile(DfuFileHandle file, DfuImageHandle image);
// Closes a file. For a new file this writes it; the status tells whether it was written.
DfuStatus DFUFILES_CloseDFUFile(DfuFileHandle file);
// The same; for a new file written, `sha256` (32 bytes) receives the SHA-256 of the bytes written.
DfuStatus DFUFILES_CloseDFUFileDigest(DfuFileHandle file, uint8_t *sha256);
