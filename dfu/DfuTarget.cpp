#include "DfuTarget.h"

#include "ConfigFile.h"
#include "DfuHandles.h"
#include "SignedFile.h"

#include <QElapsedTimer>
#include <QSet>
#include <QtDebug>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The interface class GUIDs that every operation context carries, in the byte order of
// their binary form (first three fields little-endian).
const uint8_t DfuInterfaceClassGuid[16] = {0x9D, 0xF0, 0xCC, 0x01, 0x5C, 0x73, 0xD3, 0x4A,
                                           0x8E, 0xF6, 0x69, 0xFC, 0xAD, 0x62, 0x09, 0xC8};
const uint8_t AppInterfaceClassGuid[16] = {0x1A, 0xE7, 0x58, 0xAF, 0x51, 0xA8, 0xD9, 0x40,
                                           0x98, 0x42, 0x05, 0xDE, 0xBB, 0x23, 0x43, 0xB6};

constexpr uint16_t MinimumDfuVersion = 0x011A;
constexpr uint16_t MaximumDfuVersion = 0x011F;
constexpr uint32_t StringBufferSize = 50;
constexpr qint64 UnreadableRetryMs = 5000;

const QElapsedTimer &unreadableClock()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock;
}

// One walk of the bus: room for more DFU interfaces than anyone plugs in, and a second
// walk only if there are more still.
std::vector<DfuPresentInterface> presentInterfaces()
{
    std::vector<DfuPresentInterface> present(16);
    uint32_t count = 0;
    if (DFUDEV_Enumerate(present.data(), uint32_t(present.size()), &count) != DFU_OK)
        return {};
    if (count > present.size()) {
        present.resize(count);
        if (DFUDEV_Enumerate(present.data(), uint32_t(present.size()), &count) != DFU_OK)
            return {};
    }
    present.resize(std::min<size_t>(present.size(), count));
    return present;
}

QString busAddressText(const DfuPresentInterface &p)
{
    return QStringLiteral("%1.%2").arg(p.busNumber).arg(p.deviceAddress);
}

DfuDescriptorCacheEntry describe(const DfuPresentInterface &present)
{
    DfuDescriptorCacheEntry entry;
    entry.busNumber = present.busNumber;
    entry.deviceAddress = present.deviceAddress;
    DfuDeviceHandle handle = 0;
    if (DFUDEV_Open(present.path, &handle) != DFU_OK)
        return entry;
    DfuUsbDeviceDescriptor descriptor;
    char text[StringBufferSize];
    if (DFUDEV_GetDeviceDescriptor(&handle, &descriptor) == DFU_OK
        && DFUDEV_GetStringDescriptor(&handle, descriptor.iManufacturer, text, sizeof text) == DFU_OK) {
        entry.manufacturer = QString::fromLatin1(text);
        entry.vendorId = descriptor.idVendor;
        entry.productId = descriptor.idProduct;
        if (DFUDEV_GetStringDescriptor(&handle, descriptor.iProduct, text, sizeof text) == DFU_OK) {
            entry.product = QString::fromLatin1(text);
            entry.readable = true;
            if (DFUDEV_GetStringDescriptor(&handle, descriptor.iSerialNumber, text, sizeof text) == DFU_OK)
                entry.serial = QString::fromLatin1(text);
        }
    }
    DFUDEV_Close(&handle);
    return entry;
}

} // namespace

QList<DfuDeviceRecord> enumerateDfuDevices(const QString &manufacturerFilter, const QString &productFilter,
                                           DfuDescriptorCache *cache)
{
    QList<DfuDeviceRecord> records;
    const std::vector<DfuPresentInterface> present = presentInterfaces();
    QSet<QString> seen;
    for (const DfuPresentInterface &p : present) {
        const QString path = QString::fromLocal8Bit(p.path);
        seen.insert(path);
        DfuDescriptorCacheEntry entry;
        const auto cached = cache ? cache->constFind(path) : DfuDescriptorCache::const_iterator();
        const bool sameDevice = cache && cached != cache->constEnd() && cached->busNumber == p.busNumber
                                && cached->deviceAddress == p.deviceAddress;
        if (sameDevice && (cached->readable || unreadableClock().elapsed() - cached->triedAtMs < UnreadableRetryMs)) {
            entry = *cached;
        } else {
            entry = describe(p);
            if (!entry.readable) {
                entry.triedAtMs = unreadableClock().elapsed();
                // Warned once per plug-in; the retries are silent.
                if (!sameDevice)
                    qWarning().noquote() << "DFU: cannot read the strings of the device at" << path
                                         << "; it is not listed (tried again every 5 s).";
            }
            if (cache)
                cache->insert(path, entry);
        }
        if (!entry.readable)
            continue;
        if (!manufacturerFilter.isEmpty() && entry.manufacturer != manufacturerFilter)
            continue;
        if (!productFilter.isEmpty() && entry.product != productFilter)
            continue;
        records.append(DfuDeviceRecord{manufacturerFilter, entry.product, entry.serial, path, busAddressText(p),
                                       entry.vendorId, entry.productId});
    }
    if (cache) {
        for (auto it = cache->begin(); it != cache->end();)
            it = seen.contains(it.key()) ? std::next(it) : cache->erase(it);
    }
    return records;
}

QString dfuBusAddressAt(const QString &path)
{
    for (const DfuPresentInterface &p : presentInterfaces()) {
        if (QString::fromLocal8Bit(p.path) == path)
            return busAddressText(p);
    }
    return QString();
}

bool sameDfuDevice(const QString &path, const QString &busAddress)
{
    if (!busAddress.isEmpty() && dfuBusAddressAt(path) == busAddress)
        return true;
    qWarning().noquote() << "DFU: the device at" << path << "is not the one connected; nothing is done.";
    return false;
}

bool makeOperationContext(DfuOperationContext &c, int32_t operation, const QString &path, int32_t flag)
{
    std::memset(&c, 0, sizeof c);
    std::memcpy(c.dfuInterfaceGuid, DfuInterfaceClassGuid, sizeof c.dfuInterfaceGuid);
    std::memcpy(c.appInterfaceGuid, AppInterfaceClassGuid, sizeof c.appInterfaceGuid);
    c.operation = operation;
    c.flag = flag;
    const QByteArray local = path.toLocal8Bit();
    // The field holds 260 bytes with the NUL: a longer path would be cut into another device's.
    if (size_t(local.size()) >= sizeof c.devicePath)
        return false;
    std::memcpy(c.devicePath, local.constData(), size_t(local.size()) + 1);
    return true;
}

DfuStatus filterImage(int32_t operation, const DfuMappingRecord &record, DfuImageHandle image, const QString &filePath)
{
    const DfuStatus filtered = DFUFILES_FilterImageForOperation(image, &record, operation, 0);
    if (filtered != DFU_OK)
        qWarning("%s: %s refused for %s: %s", operation == DFU_OPERATION_DOWNLOAD ? "Download" : "DFU",
                 filePath.toLocal8Bit().constData(), record.name, DFU_StatusText(filtered));
    return filtered;
}

QString usbIdMismatch(quint16 fileVendorId, quint16 fileProductId, quint16 vendorId, quint16 productId)
{
    const bool fits = (fileVendorId == 0xFFFF || fileVendorId == vendorId)
                      && (fileProductId == 0xFFFF || fileProductId == productId);
    if (fits)
        return QString();
    return QStringLiteral("the file is made for USB ids %1:%2, the device is %3:%4")
        .arg(fileVendorId, 4, 16, QLatin1Char('0'))
        .arg(fileProductId, 4, 16, QLatin1Char('0'))
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'));
}

ImageChoice chooseImage(DfuFileHandle file, uint8_t imageCount, const QString &permitted, uint8_t alternate,
                        DfuImageHandle &chosen)
{
    chosen = 0;
    for (uint8_t i = 0; i < imageCount; ++i) {
        dfu::Image image;
        if (DFUFILES_ReadImageFromDFUFile(file, i, image.receive()) != DFU_OK)
            continue;
        char name[512];
        std::memset(name, 0, sizeof name);
        DFUFILES_GetImageName(image.get(), name);
        uint8_t imageAlternate = 0;
        const bool known = DFUFILES_GetImageAlternate(image.get(), &imageAlternate) == DFU_OK;
        if (!imageNamePermitted(permitted, QString::fromLocal8Bit(name)))
            return ImageChoice::WrongName;
        if (known && imageAlternate == alternate) {
            chosen = image.release();
            return ImageChoice::Chosen;
        }
    }
    return ImageChoice::NoImage;
}

DfuTarget::~DfuTarget()
{
    if (operationLaunched) {
        DFUOPS_StopOperation(operationCode, &context);
        operationLaunched = false;
    }
    for (const PendingReturn &r : returns) {
        DFUOPS_StopOperation(r.code, nullptr);
        DfuImageHandle handle = r.image;
        DFUFILES_DestroyImage(&handle);
    }
    returns.clear();
    releaseOperationImages();
    releaseDevice();
}

int openDfuDevice(const QString &path, DfuDeviceFacts &facts)
{
    const QByteArray local = path.toLocal8Bit();
    dfu::Device handle;
    // A device that cannot be opened is not connected.
    if (DFUDEV_Open(local.constData(), handle.receive()) != DFU_OK)
        return DfuTarget::NoDescriptor;
    DfuDeviceHandle h = handle.get();
    DfuUsbDeviceDescriptor descriptor;
    DfuFunctionalDescriptor functional;
    uint32_t interfaceNumber = 0, alternates = 0;
    if (DFUDEV_GetDeviceDescriptor(&h, &descriptor) != DFU_OK
        || DFUDEV_GetDFUDescriptor(&h, &interfaceNumber, &alternates, &functional) != DFU_OK)
        return DfuTarget::NoDescriptor;
    const uint16_t version = functional.bcdDFUVersion;
    facts.vendorId = descriptor.idVendor;
    facts.productId = descriptor.idProduct;
    facts.release = descriptor.bcdDevice;
    if (version < MinimumDfuVersion || version > MaximumDfuVersion) {
        // A USB DFU 1.0 device (7-byte descriptor) lands here too: it lacks the addressed commands.
        qWarning("DFU: %s speaks DFU version %X.%02X; only 1.1A to 1.1F, with the address-extended commands, "
                 "are supported.",
                 local.constData(), version >> 8, version & 0xFF);
        return DfuTarget::VersionNotSupported;
    }
    if (DFUOPS_CreateMappingFromDevice(local.constData(), &facts.mapping, &facts.alternateCount) != DFU_OK)
        return DfuTarget::NoMapping;
    facts.handle = handle.release();
    return DfuTarget::Connected;
}

int DfuTarget::openDevice(const QString &path)
{
    DfuDeviceFacts facts;
    const int result = openDfuDevice(path, facts);
    if (result != VersionNotSupported && result != NoDescriptor) {
        vendorId = facts.vendorId;
        productId = facts.productId;
        deviceRelease = facts.release;
    }
    if (result != Connected)
        return result;
    releaseDevice();
    device = facts.handle;
    mapping = facts.mapping;
    alternateCount = facts.alternateCount;
    openedPath = path;
    openedBusAddress = dfuBusAddressAt(path);
    return Connected;
}

void DfuTarget::releaseDevice()
{
    if (device)
        DFUDEV_Close(&device);
    DFUOPS_ReleaseMapping(mapping);
    mapping = nullptr;
    alternateCount = 0;
    openedPath.clear();
    openedBusAddress.clear();
}

bool DfuTarget::prepareContext(DfuOperationContext &c, int32_t operation, const QString &devicePath) const
{
    if (!makeOperationContext(c, operation, devicePath) || alternateCount == 0)
        return false;
    // The mapping is that of the device opened; another one plugged into the same port
    // since then must not be worked on with it.
    return devicePath == openedPath ? sameDfuDevice(devicePath, openedBusAddress)
                                    : sameDfuDevice(devicePath, QString());
}

void DfuTarget::releaseImage(DfuImageHandle &handle)
{
    if (!handle)
        return;
    const DfuImageHandle released = handle;
    DfuImageHandle copy = released;
    DFUFILES_DestroyImage(&copy);
    // Every field that held it is cleared with it, so nothing releases or uses it again.
    if (image == released)
        image = 0;
    if (secondImage == released)
        secondImage = 0;
    if (context.image == released)
        context.image = 0;
    handle = 0;
}

void DfuTarget::releaseOperationImages()
{
    DfuImageHandle operationImage = context.image;
    releaseImage(operationImage);
    releaseImage(image);
    releaseImage(secondImage);
}

void DfuTarget::reapReturns()
{
    for (auto it = returns.begin(); it != returns.end();) {
        DfuOperationContext c;
        const bool known = DFUOPS_GetOperationStatus(it->code, &c) == DFU_OK;
        if (known && c.errorStatus == DFU_OK && c.percent != 100) {
            ++it;
            continue;
        }
        DFUOPS_StopOperation(it->code, nullptr);
        DfuImageHandle handle = it->image;
        DFUFILES_DestroyImage(&handle);
        it = returns.erase(it);
    }
}

bool DfuTarget::returning(const QString &path) const
{
    return std::any_of(returns.begin(), returns.end(), [&](const PendingReturn &r) { return r.path == path; });
}

int DfuTarget::launchReturn(const QString &devicePath)
{
    reapReturns();
    DfuOperationContext c;
    if (!prepareContext(c, DFU_OPERATION_RETURN, devicePath))
        return ReturnRefused;
    const DfuMappingRecord &last = mapping[alternateCount - 1];
    DfuImageHandle returnImage = 0;
    DFUFILES_CreateImageFromMapping(&returnImage, &last);
    DFUFILES_SetImageName(returnImage, QString::fromLatin1(last.name).toLocal8Bit().constData());
    DFUFILES_FilterImageForOperation(returnImage, &last, DFU_OPERATION_RETURN, 0);
    c.image = returnImage;
    uint32_t code = 0;
    if (DFUOPS_LaunchOperation(&c, &code) != DFU_OK) {
        DFUFILES_DestroyImage(&returnImage);
        return ReturnRefused;
    }
    operationCode = code;
    // Nobody polls a return: its image is released once it has ended (reapReturns).
    returns.append({code, returnImage, devicePath});
    return ReturnLaunched;
}

int DfuTarget::launchDownload(const QString &filePath, const QString &permittedImageName, const QString &devicePath)
{
    // A device that Config.ini permits no image for takes none, not any unnamed one.
    if (permittedImageName.isEmpty())
        return WrongImageName;
    DfuOperationContext c;
    if (!prepareContext(c, DFU_OPERATION_DOWNLOAD, devicePath))
        return LaunchRefused;
    dfu::File file;
    const SignedFile opened = openSignedDfuFile(filePath, file);
    if (opened.result == SignedFile::SignatureRefused) {
        // Refused as a file of the wrong name is: the user is to pick the maker's file.
        qWarning("Download: %s refused: %s", filePath.toLocal8Bit().constData(), qPrintable(opened.reason()));
        return WrongImageName;
    }
    if (opened.result != SignedFile::Opened)
        return NotADfuFile;
    fileVendorId = opened.vendorId;
    fileProductId = opened.productId;
    fileRelease = opened.release;
    // The window has always gone on with such a file; it says so now.
    const QString mismatch = usbIdMismatch(fileVendorId, fileProductId, vendorId, productId);
    if (!mismatch.isEmpty())
        qWarning("Download: %s: %s; it is written all the same.", filePath.toLocal8Bit().constData(),
                 qPrintable(mismatch));
    const uint8_t imageCount = opened.imageCount;
    releaseImage(image);
    releaseImage(secondImage);
    const DfuMappingRecord &record = mapping[alternateCount - 1];
    const ImageChoice choice = chooseImage(file.get(), imageCount, permittedImageName, record.alternate, image);
    if (choice != ImageChoice::Chosen)
        return choice == ImageChoice::WrongName ? WrongImageName : NoImage;
    // One operation erases (keeping the sectors that already hold the image), writes and
    // verifies: what it learns of the device's memory is its own and ends with it.
    downloadCompleted = false;
    c.image = image;
    if (filterImage(DFU_OPERATION_DOWNLOAD, record, image, filePath) != DFU_OK
        || DFUOPS_LaunchOperation(&c, &operationCode) != DFU_OK) {
        releaseImage(image);
        return LaunchRefused;
    }
    context = c;
    operationLaunched = true;
    upgradePending = 1;
    return DownloadLaunched;
}

int DfuTarget::launchUpload(const QString &filePath, const QString &devicePath)
{
    uploadPath = filePath;
    downloadCompleted = false;
    DfuOperationContext c;
    if (!prepareContext(c, DFU_OPERATION_UPLOAD, devicePath))
        return UploadRefused;
    releaseImage(secondImage);
    releaseImage(image);
    const DfuMappingRecord &last = mapping[alternateCount - 1];
    DFUFILES_CreateImageFromMapping(&image, &last);
    DFUFILES_SetImageName(image, QString::fromLatin1(last.name).toLocal8Bit().constData());
    DFUFILES_FilterImageForOperation(image, &last, DFU_OPERATION_UPLOAD, 0);
    c.image = image;
    if (DFUOPS_LaunchOperation(&c, &operationCode) != DFU_OK) {
        releaseImage(image);
        return UploadRefused;
    }
    context = c;
    operationLaunched = true;
    return UploadLaunched;
}

bool DfuTarget::finishUpload()
{
    const QByteArray path = uploadPath.toLocal8Bit();
    DfuFileHandle file = 0;
    DfuStatus status = DFUFILES_CreateNewDFUFile(path.constData(), &file, vendorId, productId, deviceRelease);
    if (status == DFU_OK) {
        status = DFUFILES_AppendImageToDFUFile(file, context.image);
        const DfuStatus closed = DFUFILES_CloseDFUFile(file);
        if (status == DFU_OK)
            status = closed;
    }
    DfuImageHandle uploaded = context.image;
    releaseImage(uploaded);
    if (status != DFU_OK) {
        qWarning("Upload: cannot write %s: %s", path.constData(), DFU_StatusText(status));
        return false;
    }
    return true;
}

int DfuTarget::pollOperation()
{
    // The window polls once more after a download that ended between two of its polls.
    if (!operationLaunched)
        return downloadCompleted ? PollOk : PollError;
    if (DFUOPS_GetOperationStatus(operationCode, &context) != DFU_OK)
        return PollError;
    if (context.errorStatus != DFU_OK) {
        DFUOPS_StopOperation(operationCode, &context);
        operationLaunched = false;
        releaseOperationImages();
        return PollError;
    }
    if (context.operation == DFU_OPERATION_DOWNLOAD && context.phase > DFU_PHASE_ERASE)
        upgradePending = 0;
    if (context.percent != 100)
        return PollOk;

    DFUOPS_StopOperation(operationCode, &context);
    operationLaunched = false;
    DfuImageHandle finished = context.image;
    switch (context.operation) {
    case DFU_OPERATION_DOWNLOAD:
        releaseImage(finished);
        upgradePending = 0;
        downloadCompleted = true;
        return PollOk;
    case DFU_OPERATION_UPLOAD:
        return finishUpload() ? PollOk : PollError;
    default:
        return PollOk;
    }
}
