#pragma once

#include "dfulib.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// One enumeration record. The bus address tells a device from another one later plugged
// into the same port.
struct DfuDeviceRecord
{
    QString manufacturer; // the filter text it was found with
    QString product;
    QString serial;
    QString path;         // the interface path
    QString busAddress;   // "BUS.ADDRESS"
    quint16 vendorId = 0;
    quint16 productId = 0;
    bool operator==(const DfuDeviceRecord &o) const
    {
        return manufacturer == o.manufacturer && product == o.product && serial == o.serial && path == o.path
               && busAddress == o.busAddress;
    }
};

// What enumeration learned of one interface, kept so that a device already seen at the
// same path and bus address is not opened and asked for its strings again. A device whose
// strings could not be read is asked again now and then (not on every refresh: it may be
// slow, or lack permission until the udev rules are reloaded).
struct DfuDescriptorCacheEntry
{
    quint8 busNumber = 0;
    quint8 deviceAddress = 0;
    bool readable = false;
    // When an unreadable device was last tried (monotonic milliseconds).
    qint64 triedAtMs = 0;
    QString manufacturer;
    QString product;
    QString serial;
    quint16 vendorId = 0;
    quint16 productId = 0;
};
using DfuDescriptorCache = QHash<QString, DfuDescriptorCacheEntry>;

// The present DFU-mode interfaces whose manufacturer and product strings equal the
// filters (an empty filter accepts anything), in bus order. An interface that cannot be
// opened or described is left out, with one warning. With a cache, devices seen before
// cost no request, and an unreadable one is tried again at most every 5 s.
QList<DfuDeviceRecord> enumerateDfuDevices(const QString &manufacturerFilter, const QString &productFilter,
                                           DfuDescriptorCache *cache = nullptr);

// What opening a DFU-mode device learns; on success the caller owns the handle (DFUDEV_Close)
// and the mapping (DFUOPS_ReleaseMapping).
struct DfuDeviceFacts
{
    DfuDeviceHandle handle = 0;
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint16 release = 0;
    DfuMappingRecord *mapping = nullptr;
    quint32 alternateCount = 0;
};
// Opens the DFU-mode device at `path`: its descriptors, a DFU version the tool speaks, its
// memory mapping. Returns a DfuTarget::OpenResult.
int openDfuDevice(const QString &path, DfuDeviceFacts &facts);

// Where the DFU-mode device at `path` is on its bus now ("BUS.ADDRESS"); empty when none is.
QString dfuBusAddressAt(const QString &path);
// Whether the device at `path` is still the one that was there at `busAddress`: a device
// plugged into the same port since has another address, and must not be worked on with
// what was learned of the first. Warns when it is not.
bool sameDfuDevice(const QString &path, const QString &busAddress);

// A context for `operation` on the device at `path`, with the interface class GUIDs; false
// when the path does not fit its field.
bool makeOperationContext(DfuOperationContext &context, int32_t operation, const QString &path, int32_t flag = 0);
// Filters `image` for `operation` on the alternate of `record`. A refusal (the image does not
// fit the memory, its elements overlap, it holds nothing) is warned of, naming the file (if
// any) and the memory, and returned: nothing may be launched then.
DfuStatus filterImage(int32_t operation, const DfuMappingRecord &record, DfuImageHandle image, const QString &filePath);

// Why a file whose suffix names other USB ids than the device's was not made for it; empty
// when the ids fit (0xFFFF in the file stands for any).
QString usbIdMismatch(quint16 fileVendorId, quint16 fileProductId, quint16 vendorId, quint16 productId);

// The image of a multi-image file meant for the device's alternate `alternate`. Every image
// read until then must bear a name that `permitted` permits (imageNamePermitted). No image
// for that alternate is NoImage: another alternate's image is never taken instead.
enum class ImageChoice { Chosen, WrongName, NoImage };
ImageChoice chooseImage(DfuFileHandle file, uint8_t imageCount, const QString &permitted, uint8_t alternate,
                        DfuImageHandle &chosen);

// The DFU-mode device the tool is connected to and the DFU operation it runs. There is
// exactly one, the process-wide dfuTarget below; it starts zeroed. GUI thread only: the
// library runs the operations on its own threads and this object polls them.
class DfuTarget
{
public:
    // openDevice results.
    enum OpenResult { Connected = 0, VersionNotSupported = 1, NoMapping = 2, NoDescriptor = 3 };
    // launchDownload results.
    enum DownloadResult { DownloadLaunched = 0, LaunchRefused = 6, NoImage = 7, NotADfuFile = 8, WrongImageName = 16 };
    // launchUpload results.
    enum UploadResult { UploadLaunched = 0, UploadRefused = 9 };
    // pollOperation results.
    enum PollResult { PollOk = 0, PollLaunchRefused = 6, PollError = 13 };
    // launchReturn results.
    enum ReturnResult { ReturnLaunched = 0, ReturnRefused = 1 };

    DfuTarget() = default;
    ~DfuTarget();
    DfuTarget(const DfuTarget &) = delete;
    DfuTarget &operator=(const DfuTarget &) = delete;

    int openDevice(const QString &path);
    // Forgets the connected device: closes its handle and releases its mapping.
    void releaseDevice();

    int launchReturn(const QString &devicePath);
    int launchDownload(const QString &filePath, const QString &permittedImageName, const QString &devicePath);
    int launchUpload(const QString &filePath, const QString &devicePath);
    int pollOperation();
    DfuOperationContext contextSnapshot() const { return context; }
    // Ends the return operations that have finished and releases their images.
    void reapReturns();
    // True while a return operation on the device at `path` has not ended.
    bool returning(const QString &path) const;

    quint8 upgradePending = 0;
    quint16 fileVendorId = 0;
    quint16 fileProductId = 0;
    quint16 fileRelease = 0;
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint16 deviceRelease = 0;
    DfuMappingRecord *mapping = nullptr;
    quint32 alternateCount = 0;
    DfuImageHandle image = 0;
    DfuImageHandle secondImage = 0;
    quint32 operationCode = 0;
    QString uploadPath;
    DfuOperationContext context{};

private:
    bool prepareContext(DfuOperationContext &c, int32_t operation, const QString &devicePath) const;
    void releaseImage(DfuImageHandle &handle);
    void releaseOperationImages();
    bool finishUpload();

    DfuDeviceHandle device = 0;
    // Which device the mapping belongs to: its path and where it was on the bus.
    QString openedPath;
    QString openedBusAddress;
    bool operationLaunched = false;
    // The last download ran to its end and was reaped by a poll.
    bool downloadCompleted = false;
    struct PendingReturn
    {
        quint32 code;
        DfuImageHandle image;
        QString path;
    };
    QList<PendingReturn> returns;
};

// Constructed before main() with the other process-wide objects, in start-up order.
extern DfuTarget dfuTarget;
