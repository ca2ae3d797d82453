#include "DfuLink.h"

#include "ConfigFile.h"
#include "DfuEnumeration.h"
#include "DfuFileFormat.h"
#include "DfuHandles.h"
#include "LibraryLog_p.h"
#include "MemoryLayout.h"
#include "Maker.h"
#include "SignedFile.h"
#include "SignedFile_p.h"

#include <QtDebug>

#include <cstring>

namespace {

// The interface class GUIDs that every operation context carries, in the byte order of
// their binary form (first three fields little-endian).
const uint8_t DfuInterfaceClassGuid[16] = {
    0x9D, 0xF0, 0xCC, 0x01, 0x5C, 0x73, 0xD3, 0x4A, 0x8E, 0xF6, 0x69, 0xFC, 0xAD, 0x62, 0x09, 0xC8};
const uint8_t AppInterfaceClassGuid[16] = {
    0x1A, 0xE7, 0x58, 0xAF, 0x51, 0xA8, 0xD9, 0x40, 0x98, 0x42, 0x05, 0xDE, 0xBB, 0x23, 0x43, 0xB6};

constexpr uint16_t MinimumDfuVersion = 0x011A;
constexpr uint16_t MaximumDfuVersion = 0x011F;

// A context for `operation` on the device at `path`, with the interface class GUIDs; false
// when the path does not fit its field (a longer path would be cut into another device's).
bool makeOperationContext(DfuOperationContext &c, int32_t operation, const QString &path, int32_t flag)
{
    std::memset(&c, 0, sizeof c);
    std::memcpy(c.dfuInterfaceGuid, DfuInterfaceClassGuid, sizeof c.dfuInterfaceGuid);
    std::memcpy(c.appInterfaceGuid, AppInterfaceClassGuid, sizeof c.appInterfaceGuid);
    c.operation = operation;
    c.flag = flag;
    const QByteArray local = path.toLocal8Bit();
    if (size_t(local.size()) >= sizeof c.devicePath)
        return false;
    std::memcpy(c.devicePath, local.constData(), size_t(local.size()) + 1);
    return true;
}

QString imageNameOf(DfuImageHandle image)
{
    char name[512];
    std::memset(name, 0, sizeof name);
    DFUFILES_GetImageName(image, name);
    return QString::fromLocal8Bit(name);
}

// The image of a multi-image file meant for the alternate `alternate`. Every image read until
// then must bear a name that `permitted` permits. No image for that alternate is NoImage:
// another alternate's image is never taken instead.
DfuLink::Launch::Reason chooseImage(
    DfuFileHandle file, uint8_t imageCount, const QString &permitted, uint8_t alternate, dfulib::Image &chosen)
{
    chosen.reset();
    for (uint8_t i = 0; i < imageCount; ++i) {
        dfulib::Image image;
        if (DFUFILES_ReadImageFromDFUFile(file, i, image.receive()) != DFU_OK)
            continue;
        uint8_t imageAlternate = 0;
        const bool known = DFUFILES_GetImageAlternate(image.get(), &imageAlternate) == DFU_OK;
        if (!imageNamePermitted(permitted, imageNameOf(image.get())))
            return DfuLink::Launch::NotPermitted;
        if (known && imageAlternate == alternate) {
            chosen = std::move(image);
            return DfuLink::Launch::None;
        }
    }
    return DfuLink::Launch::NoImage;
}

// The library's operation context, as the callers of DfuLink see it.
DfuProgress progressOf(const DfuOperationContext &c)
{
    DfuProgress p;
    switch (c.phase) {
    case DFU_PHASE_ERASE: p.phase = DfuProgress::Phase::Erase; break;
    case DFU_PHASE_WRITE: p.phase = DfuProgress::Phase::Write; break;
    case DFU_PHASE_VERIFY: p.phase = DfuProgress::Phase::Verify; break;
    case DFU_PHASE_READ: p.phase = DfuProgress::Phase::Read; break;
    case DFU_PHASE_LEAVE: p.phase = DfuProgress::Phase::Leave; break;
    case DFU_PHASE_DONE: p.phase = DfuProgress::Phase::Done; break;
    default: p.phase = DfuProgress::Phase::Idle; break;
    }
    p.percent = c.percent;
    p.bytesDone = c.bytesDone;
    p.bytesTotal = c.bytesTotal;
    p.elapsedMs = c.elapsedMs;
    p.failedAddress = c.failedAddress;
    p.sectorsTouched = c.sectorsTouched;
    p.sectorsKept = c.sectorsKept;
    p.failure = c.errorStatus == DFU_OK ? DfuProgress::Failure::None
                : c.errorStatus == DFU_ERROR_STALL || c.errorStatus == DFU_ERROR_DEVICE_STATUS
                    ? DfuProgress::Failure::BoardSaidNo
                    : DfuProgress::Failure::Other;
    return p;
}

} // namespace

struct DfuLink::Handles
{
    dfulib::Device device;
    DfuMappingRecord *mapping = nullptr;
    dfulib::Image image;
    dfulib::Image expected; // a verify's image from the file, to compare what was read with
    dfulib::Operation operation;
    Operation launched = Operation::None;

    const DfuMappingRecord &record(int index) const { return mapping[index]; }
};

QString usbIdMismatch(quint16 fileVendorId, quint16 fileProductId, quint16 vendorId, quint16 productId)
{
    const bool fits =
        (fileVendorId == 0xFFFF || fileVendorId == vendorId) && (fileProductId == 0xFFFF || fileProductId == productId);
    if (fits)
        return QString();
    return QStringLiteral("the file is made for USB ids %1:%2, the device is %3:%4")
        .arg(fileVendorId, 4, 16, QLatin1Char('0'))
        .arg(fileProductId, 4, 16, QLatin1Char('0'))
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'));
}

void DfuLink::waitOutPollTimeouts(bool on)
{
    routeDfuLibraryLog();
    DFUOPS_SetHonourPollTimeouts(on);
}

DfuLink::DfuLink() : DfuLink(Settings()) { }

DfuLink::DfuLink(const Settings &settings) : settings_(settings), h_(std::make_unique<Handles>())
{
    routeDfuLibraryLog();
}

DfuLink::~DfuLink()
{
    stop();
    h_->image.reset();
    letGo();
}

quint32 DfuLink::image() const
{
    return h_->image.get();
}

quint32 DfuLink::operationCode() const
{
    return h_->operation.launchedCode();
}

bool DfuLink::running() const
{
    return h_->operation.running();
}

DfuLink::Operation DfuLink::launched() const
{
    return h_->launched;
}

bool DfuLink::pathFits(const QString &path)
{
    return size_t(path.toLocal8Bit().size()) < sizeof DfuOperationContext::devicePath;
}

DfuLink::Open DfuLink::open(const QString &path, const QString &busAddress, const QString &product)
{
    Open o;
    o.result = connect(path, busAddress, product);
    if (!o.connected())
        o.outcome = Outcome::failed(openProblem(o.result));
    return o;
}

DfuLink::OpenResult DfuLink::connect(const QString &path, const QString &busAddress, const QString &product)
{
    letGo();
    product_ = product;
    const QByteArray local = path.toLocal8Bit();
    dfulib::Device handle;
    if (DFUDEV_Open(local.constData(), handle.receive()) != DFU_OK)
        return NoDescriptor;
    DfuDeviceHandle h = handle.get();
    DfuUsbDeviceDescriptor descriptor;
    DfuFunctionalDescriptor functional;
    uint32_t interfaceNumber = 0, alternates = 0;
    if (DFUDEV_GetDeviceDescriptor(&h, &descriptor) != DFU_OK
        || DFUDEV_GetDFUDescriptor(&h, &interfaceNumber, &alternates, &functional) != DFU_OK)
        return NoDescriptor;
    const uint16_t version = functional.bcdDFUVersion;
    if (version < MinimumDfuVersion || version > MaximumDfuVersion) {
        // A USB DFU 1.0 device (7-byte descriptor) lands here too: it lacks the addressed commands.
        qWarning("DFU: %s speaks DFU version %X.%02X; only 1.1A to 1.1F, with the address-extended commands, "
                 "are supported.",
            local.constData(), version >> 8, version & 0xFF);
        return VersionNotSupported;
    }
    vendorId_ = descriptor.idVendor;
    productId_ = descriptor.idProduct;
    release_ = descriptor.bcdDevice;
    transferSize_ = functional.wTransferSize;
    if (DFUOPS_CreateMappingFromDevice(local.constData(), &h_->mapping, &alternateCount_) != DFU_OK) {
        h_->mapping = nullptr;
        alternateCount_ = 0;
        return NoMapping;
    }
    if (alternateCount_ == 0)
        return NoMapping;
    h_->device = std::move(handle);
    path_ = path;
    busAddress_ = busAddress.isEmpty() ? dfuBusAddressAt(path) : busAddress;
    return Connected;
}

QString DfuLink::openProblem(int code)
{
    switch (code) {
    case Connected: return QString();
    case VersionNotSupported: return QStringLiteral("it speaks a DFU version this tool does not");
    case NoMapping: return QStringLiteral("its memory layout cannot be read");
    default: return QStringLiteral("it cannot be opened (without permission, %1)").arg(QLatin1String(UdevRulesHint));
    }
}

void DfuLink::letGo()
{
    h_->device.reset();
    DFUOPS_ReleaseMapping(h_->mapping);
    h_->mapping = nullptr;
    alternateCount_ = 0;
}

QList<DfuLink::Alternate> DfuLink::alternates() const
{
    QList<Alternate> out;
    for (quint32 i = 0; i < alternateCount_; ++i) {
        char layout[512];
        const DfuMappingRecord &r = h_->record(int(i));
        DFUOPS_GetMappingLayout(&r, layout, sizeof layout);
        out.append({r.alternate, QString::fromLatin1(r.name), QString::fromLatin1(layout)});
    }
    return out;
}

QString DfuLink::memoryName() const
{
    return isOpen() ? QString::fromLatin1(h_->record(recordOf(-1)).name) : QString();
}

bool DfuLink::stillThere() const
{
    return isOpen() && sameDfuDevice(path_, busAddress_);
}

DfuLink::Launch DfuLink::refuse(Launch::Reason reason, const QString &message)
{
    h_->image.reset();
    Launch l;
    l.outcome = reason == Launch::Replaced || reason == Launch::NotOpen || reason == Launch::NotStarted
                    ? Outcome::failed(message)
                    : Outcome::refused(message);
    l.reason = reason;
    return l;
}

int DfuLink::recordOf(int alternate) const
{
    if (!isOpen() || alternate >= int(alternateCount_) || alternate < -1)
        return -1;
    return alternate < 0 ? int(alternateCount_) - 1 : alternate;
}

int DfuLink::alternateIndex(const QString &nameOrNumber) const
{
    bool number = false;
    const uint value = nameOrNumber.toUInt(&number, 0);
    for (quint32 i = 0; i < alternateCount_; ++i) {
        const DfuMappingRecord &r = h_->record(int(i));
        const bool named = QString::fromLatin1(r.name).trimmed() == nameOrNumber.trimmed();
        if ((number && value == r.alternate) || (!number && named))
            return int(i);
    }
    return -1;
}

DfuLink::Launch DfuLink::checkFile(
    const DfuFileBytes &source, const QString &permitted, int alternate, bool forVerify, QString &mismatch, int &found)
{
    file_ = FileFacts();
    imageName_.clear();
    h_->expected.reset();
    // A device that Config.ini permits no image for takes none, not any unnamed one.
    if (permitted.isEmpty())
        return refuse(Launch::NotPermitted,
            QStringLiteral("Config.ini permits no image for \"%1\" (tolvex-config check shows what it lists)")
                .arg(product_));
    found = recordOf(alternate);
    if (found < 0)
        return refuse(Launch::NotOpen, QStringLiteral("no device is open with alternate %1").arg(alternate));
    const DfuMappingRecord &record = h_->record(found);
    const QString &filePath = source.path;
    // The bytes that were read, checked and hashed once are the bytes written.
    const SignedFile &opened = source.check;
    file_.vendorId = opened.vendorId;
    file_.productId = opened.productId;
    file_.release = opened.release;
    file_.signature = opened.signatureText();
    file_.sha256 = source.sha256;
    if (opened.result == SignedFile::SignatureRefused)
        return refuse(Launch::SignatureRefused, opened.reason());
    dfulib::File file;
    if (opened.result != SignedFile::Opened || openDfuBytes(source, file) != DFU_OK)
        return refuse(Launch::NotADfuFile, QStringLiteral("%1: %2").arg(filePath, opened.reason()));
    mismatch = usbIdMismatch(opened.vendorId, opened.productId, vendorId_, productId_);
    if (!mismatch.isEmpty() && settings_.otherUsbIds == Settings::OtherUsbIds::Refuse)
        return refuse(Launch::OtherUsbIds, mismatch);
    dfulib::Image &chosen = forVerify ? h_->expected : h_->image;
    const Launch::Reason choice = chooseImage(file.get(), opened.imageCount, permitted, record.alternate, chosen);
    if (choice == Launch::NotPermitted)
        return refuse(choice, QStringLiteral("the file's image names are not permitted: Config.ini permits \"%1\" "
                                             "for \"%2\"")
                                  .arg(permitted, product_));
    if (choice == Launch::NoImage)
        return refuse(choice, QStringLiteral("the file holds no image for alternate %1 (\"%2\")")
                                  .arg(record.alternate)
                                  .arg(QString::fromLatin1(record.name).trimmed()));
    Launch l;
    l.outcome = Outcome::ok();
    return l;
}

DfuLink::Launch DfuLink::launchDownload(
    const DfuFileBytes &source, const QString &permitted, Download how, int alternate)
{
    int record = -1;
    QString mismatch;
    const Launch checked = checkFile(source, permitted, alternate, false, mismatch, record);
    if (!checked.launched())
        return checked;
    imageName_ = imageNameOf(h_->image.get());
    Launch l = launch(Operation::Download, source.path, record, how);
    if (l.launched() && !mismatch.isEmpty())
        l.note = mismatch + QStringLiteral("; it is written all the same");
    return l;
}

DfuLink::Launch DfuLink::launchVerify(const DfuFileBytes &source, const QString &permitted, int alternate)
{
    int record = -1;
    QString mismatch;
    const Launch checked = checkFile(source, permitted, alternate, true, mismatch, record);
    if (!checked.launched())
        return checked;
    const dfulib::Image &expected = h_->expected;
    imageName_ = imageNameOf(expected.get());
    // An image of the same ranges to read into: only what the file covers is read.
    const DfuMappingRecord &r = h_->record(record);
    DFUFILES_CreateImage(r.alternate, r.name, h_->image.receive());
    uint32_t count = 0;
    DFUFILES_GetElementCount(expected.get(), &count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t address = 0, size = 0;
        DFUFILES_GetElement(expected.get(), i, &address, &size, nullptr, 0);
        if (size == 0)
            continue;
        const std::vector<uint8_t> room(size);
        if (DFUFILES_AppendElement(h_->image.get(), address, room.data(), size) != DFU_OK)
            return refuse(Launch::DoesNotFit, QStringLiteral("the image does not fit in memory"));
    }
    if (count == 0)
        return refuse(Launch::DoesNotFit, QStringLiteral("the image holds no data"));
    Launch l = launch(Operation::Upload, source.path, record);
    if (l.launched() && !mismatch.isEmpty())
        l.note = mismatch;
    return l;
}

QList<QPair<quint32, quint32>> DfuLink::differences(qint64 *compared) const
{
    QList<QPair<quint32, quint32>> out;
    qint64 bytes = 0;
    const dfulib::Image &expected = h_->expected;
    uint32_t expectedCount = 0, readCount = 0;
    DFUFILES_GetElementCount(expected.get(), &expectedCount);
    DFUFILES_GetElementCount(h_->image.get(), &readCount);
    for (uint32_t i = 0, r = 0; i < expectedCount; ++i) {
        uint32_t address = 0, size = 0, readAddress = 0, readSize = 0;
        DFUFILES_GetElement(expected.get(), i, &address, &size, nullptr, 0);
        if (size == 0)
            continue;
        std::vector<uint8_t> want(size), got(size);
        DFUFILES_GetElement(expected.get(), i, &address, &size, want.data(), size);
        // The elements read are in the file's order, empty ones left out.
        if (r >= readCount
            || DFUFILES_GetElement(h_->image.get(), r++, &readAddress, &readSize, got.data(), size) != DFU_OK
            || readAddress != address || readSize != size) {
            out.append({address, address + size});
            continue;
        }
        bytes += size;
        for (uint32_t at = 0; at < size;) {
            if (want[at] == got[at]) {
                ++at;
                continue;
            }
            const uint32_t from = at;
            while (at < size && want[at] != got[at])
                ++at;
            // Ranges a few bytes apart read as one.
            if (!out.isEmpty() && out.last().second + 16 >= address + from)
                out.last().second = address + at;
            else
                out.append({address + from, address + at});
        }
    }
    if (compared)
        *compared = bytes;
    return out;
}

DfuLink::Launch DfuLink::launchUpload(const QString &permitted, int alternate, const Range *range)
{
    h_->expected.reset();
    const int index = recordOf(alternate);
    if (index < 0)
        return refuse(Launch::NotOpen, QStringLiteral("no device is open with alternate %1").arg(alternate));
    const DfuMappingRecord &record = h_->record(index);
    if (range) {
        DFUFILES_CreateImage(record.alternate, record.name, h_->image.receive());
        const std::vector<uint8_t> room(range->length);
        DFUFILES_AppendElement(h_->image.get(), range->address, room.data(), range->length);
    } else {
        DFUFILES_CreateImageFromMapping(h_->image.receive(), &record);
    }
    const bool named = settings_.backupName == Settings::BackupName::Permitted && !permitted.isEmpty();
    imageName_ = named ? permitted : QString::fromLatin1(record.name);
    DFUFILES_SetImageName(h_->image.get(), imageName_.toLocal8Bit().constData());
    Launch l = launch(Operation::Upload, QString(), index);
    if (l.launched() && settings_.backupName == Settings::BackupName::Permitted && !named)
        l.note = QStringLiteral("Config.ini permits no image for this product: the image is named after its memory, "
                                "and updates will refuse it");
    return l;
}

DfuLink::Launch DfuLink::launchReturn()
{
    if (!isOpen())
        return refuse(Launch::NotOpen, QStringLiteral("no device is open"));
    const int last = recordOf(-1);
    DFUFILES_CreateImageFromMapping(h_->image.receive(), &h_->record(last));
    DFUFILES_SetImageName(h_->image.get(), h_->record(last).name);
    imageName_ = memoryName();
    return launch(Operation::Return, QString(), last);
}

DfuLink::Launch DfuLink::launch(Operation operation, const QString &filePath, int index, Download how)
{
    const int32_t op = operation == Operation::Download ? DFU_OPERATION_DOWNLOAD
                       : operation == Operation::Upload ? DFU_OPERATION_UPLOAD
                                                        : DFU_OPERATION_RETURN;
    const int32_t flag = operation != Operation::Download ? 0
                         : how == Download::Full          ? DFU_FLAG_FULL_DOWNLOAD
                         : how == Download::CompareOnly   ? DFU_FLAG_COMPARE_ONLY
                                                          : 0;
    const DfuMappingRecord &record = h_->record(index);
    DfuOperationContext c;
    // What was opened must still be what is there: a board swapped on the port since is
    // another board, with another memory.
    if (!makeOperationContext(c, op, path_, flag) || !sameDfuDevice(path_, busAddress_))
        return refuse(Launch::Replaced, QStringLiteral("another device is plugged in there now; nothing was done"));
    stop();
    const DfuStatus filtered = DFUFILES_FilterImageForOperation(h_->image.get(), &record, op, 0);
    if (filtered != DFU_OK) {
        if (op == DFU_OPERATION_DOWNLOAD)
            qWarning("Download: %s refused for %s: %s", filePath.toLocal8Bit().constData(), record.name,
                DFU_StatusText(filtered));
        return refuse(filtered == DFU_ERROR_NOT_READABLE ? Launch::NotReadable : Launch::DoesNotFit,
            QStringLiteral("the image does not fit the device: %1").arg(QLatin1String(DFU_StatusText(filtered))));
    }
    c.image = h_->image.get();
    const DfuStatus s = h_->operation.launch(c);
    if (s != DFU_OK)
        return refuse(Launch::NotStarted,
            s == DFU_ERROR_CLAIMED ? QStringLiteral("another program holds the device; close it and try again")
                                   : QStringLiteral("cannot start: %1").arg(QLatin1String(DFU_StatusText(s))));
    h_->launched = operation;
    Launch l;
    l.outcome = Outcome::ok();
    return l;
}

DfuLink::Poll DfuLink::poll()
{
    Poll p;
    DfuOperationContext c{};
    if (h_->operation.status(c) != DFU_OK) {
        p.state = Poll::Failed;
        p.message = QStringLiteral("no operation runs");
        return p;
    }
    if (c.errorStatus == DFU_OK && c.percent < 100) {
        p.progress = progressOf(c);
        return p;
    }
    // Ended: its final context, copied as the operation is let go.
    h_->operation.stop(&c);
    p.progress = progressOf(c);
    if (c.errorStatus != DFU_OK) {
        h_->image.reset();
        p.state = Poll::Failed;
        p.message = QStringLiteral("%1 (at 0x%2)")
                        .arg(QLatin1String(DFU_StatusText(c.errorStatus)))
                        .arg(c.failedAddress, 8, 16, QLatin1Char('0'));
        return p;
    }
    if (h_->launched != Operation::Upload)
        h_->image.reset();
    p.state = Poll::Done;
    return p;
}

void DfuLink::stop()
{
    h_->operation.stop(nullptr);
}

Outcome DfuLink::writeBackup(const QString &filePath, bool replace, QString *sha256)
{
    const QString context = QStringLiteral("cannot write %1").arg(filePath);
    if (!h_->image.get() || h_->launched != Operation::Upload || h_->operation.running())
        return Outcome::refused(QStringLiteral("no finished upload")).within(context);
    dfulib::File file;
    DfuStatus written = DFUFILES_CreateNewDFUFileEx(filePath.toLocal8Bit().constData(), file.receive(), vendorId_,
        productId_, release_, replace ? 0 : DFU_NEW_FILE_KEEP_EXISTING);
    uint8_t digest[32] = {};
    if (written == DFU_OK) {
        written = DFUFILES_AppendImageToDFUFile(file.get(), h_->image.get());
        const DfuStatus closed = DFUFILES_CloseDFUFileDigest(file.release(), digest);
        written = written == DFU_OK ? closed : written;
    }
    h_->image.reset();
    const QString why = QLatin1String(DFU_StatusText(written));
    if (written == DFU_ERROR_FILE_EXISTS)
        return Outcome::refused(why).within(context);
    if (written != DFU_OK)
        return Outcome::failed(why).within(context);
    if (sha256)
        *sha256 = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), 32).toHex());
    return Outcome::ok();
}

QStringList DfuLink::partlyCoveredSectors(const DfuFileBytes &file, int alternate) const
{
    const QList<Alternate> all = alternates();
    if (all.isEmpty())
        return {};
    const Alternate &a = all.value(alternate < 0 ? int(all.size()) - 1 : alternate);
    dfulib::MemoryLayout layout;
    dfulib::FileView view;
    if (dfulib::parseMemoryLayout(("@" + a.name + a.layout).toStdString(), layout) != DFU_OK
        || dfulib::parseFile(reinterpret_cast<const uint8_t *>(file.bytes.constData()), size_t(file.bytes.size()), view)
               != DFU_OK)
        return {};
    QStringList cut;
    for (const dfulib::TargetView &t : view.targets) {
        if (t.alternate != a.number)
            continue;
        for (const dfulib::ElementView &e : t.elements) {
            dfulib::Sector first, last;
            if (e.size == 0 || !layout.sectorAt(e.address, first) || !layout.sectorAt(e.address + e.size - 1, last))
                continue;
            if (first.address != e.address || uint64_t(last.address) + last.size != uint64_t(e.address) + e.size)
                cut << QStringLiteral("0x%1-0x%2")
                           .arg(e.address, 8, 16, QLatin1Char('0'))
                           .arg(e.address + e.size - 1, 8, 16, QLatin1Char('0'));
        }
    }
    return cut;
}
