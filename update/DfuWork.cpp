#include "DfuWork.h"

#include "Files.h"

#include <cstring>

namespace update {

namespace {

const char NoPermissionHint[] = "it cannot be opened (without permission, install the udev rules: "
                                "packaging/70-tolvex-dfu.rules, and replug it)";

QString openFailure(int code)
{
    switch (code) {
    case DfuTarget::VersionNotSupported: return QStringLiteral("it speaks a DFU version this tool does not");
    case DfuTarget::NoMapping: return QStringLiteral("its memory layout cannot be read");
    default: return QString::fromLatin1(NoPermissionHint);
    }
}

} // namespace

void waitOutPollTimeouts(bool on)
{
    DFUOPS_SetHonourPollTimeouts(on);
}

DfuWork::~DfuWork()
{
    stop();
    image.reset();
    dfu::Device handle(facts.handle);
    DFUOPS_ReleaseMapping(facts.mapping);
}

bool DfuWork::open(const Device &device, QString &message)
{
    dev = device;
    const int opened = openDfuDevice(device.path, facts);
    if (opened != DfuTarget::Connected) {
        message = openFailure(opened);
        return false;
    }
    dev.vendorId = facts.vendorId;
    dev.productId = facts.productId;
    uint32_t interfaceNumber = 0, alternates = 0;
    DfuFunctionalDescriptor functional{};
    if (DFUDEV_GetDFUDescriptor(&facts.handle, &interfaceNumber, &alternates, &functional) == DFU_OK)
        transfer = functional.wTransferSize;
    if (dev.busAddress.isEmpty())
        dev.busAddress = dfuBusAddressAt(device.path);
    return true;
}

QList<DfuWork::Alternate> DfuWork::alternates() const
{
    QList<Alternate> out;
    for (quint32 i = 0; i < facts.alternateCount; ++i) {
        char layout[512];
        DFUOPS_GetMappingLayout(&facts.mapping[i], layout, sizeof layout);
        out.append({facts.mapping[i].alternate, QString::fromLatin1(facts.mapping[i].name), QString::fromLatin1(layout)});
    }
    return out;
}

QString DfuWork::memoryName() const
{
    return isOpen() ? QString::fromLatin1(facts.mapping[facts.alternateCount - 1].name) : QString();
}

DfuWork::Launch DfuWork::launchDownload(const QString &file, const ImageNameList &names, int32_t flag, bool force)
{
    Launch l;
    l.result = Launch::Refused;
    // Config.ini lists products by the name their boot loader reports.
    const QString permitted = permittedImageName(names, dev.product);
    if (permitted.isEmpty()) {
        l.message = QStringLiteral("Config.ini permits no image for \"%1\" (tolvex-config check shows what it lists)")
                        .arg(dev.product);
        return l;
    }
    dfu::File handle;
    DfuFileInfo info;
    QString why;
    if (!openDfuFile(file, handle, info, why)) {
        l.message = QStringLiteral("%1: %2").arg(file, why);
        return l;
    }
    const QString mismatch = usbIdMismatch(info.vendorId, info.productId, facts.vendorId, facts.productId);
    if (!mismatch.isEmpty() && !force) {
        l.message = mismatch + QStringLiteral(" (--force writes it all the same)");
        return l;
    }
    const DfuMappingRecord &last = facts.mapping[facts.alternateCount - 1];
    DfuImageHandle chosen = 0;
    const ImageChoice choice = chooseImage(handle.get(), info.imageCount, permitted, last.alternate, chosen);
    image.reset(chosen);
    if (choice == ImageChoice::WrongName) {
        l.message = QStringLiteral("the file's image names are not permitted: Config.ini permits \"%1\" for \"%2\"")
                        .arg(permitted, dev.product);
        return l;
    }
    if (choice == ImageChoice::NoImage) {
        l.message = QStringLiteral("the file holds no image for alternate %1 (\"%2\")")
                        .arg(last.alternate)
                        .arg(QString::fromLatin1(last.name));
        return l;
    }
    char name[512];
    std::memset(name, 0, sizeof name);
    DFUFILES_GetImageName(image.get(), name);
    chosenName = QString::fromLocal8Bit(name);
    return launch(DFU_OPERATION_DOWNLOAD, flag, file);
}

DfuWork::Launch DfuWork::launchReturn()
{
    const DfuMappingRecord &last = facts.mapping[facts.alternateCount - 1];
    DFUFILES_CreateImageFromMapping(image.receive(), &last);
    return launch(DFU_OPERATION_RETURN, 0, QString());
}

DfuWork::Launch DfuWork::launchUpload(const QString &imageName)
{
    const DfuMappingRecord &last = facts.mapping[facts.alternateCount - 1];
    DFUFILES_CreateImageFromMapping(image.receive(), &last);
    DFUFILES_SetImageName(image.get(), imageName.isEmpty() ? last.name : imageName.toLocal8Bit().constData());
    return launch(DFU_OPERATION_UPLOAD, 0, QString());
}

DfuWork::Launch DfuWork::launch(int32_t op, int32_t flag, const QString &filePath)
{
    Launch l;
    DfuOperationContext c;
    // What was opened must still be what is there: a board swapped on the port since is
    // another board, with another memory.
    if (!makeOperationContext(c, op, dev.path, flag) || !sameDfuDevice(dev.path, dev.busAddress)) {
        l.message = QStringLiteral("another device is plugged in there now; nothing was done");
        return l;
    }
    const DfuMappingRecord &last = facts.mapping[facts.alternateCount - 1];
    stop();
    const DfuStatus filtered = filterImage(op, last, image.get(), filePath);
    if (filtered != DFU_OK) {
        l.result = Launch::Refused;
        l.message = QStringLiteral("the image does not fit the device: %1").arg(QString::fromLatin1(DFU_StatusText(filtered)));
        return l;
    }
    c.image = image.get();
    const DfuStatus s = operation.launch(c);
    if (s == DFU_OK) {
        l.result = Launch::Launched;
        return l;
    }
    l.message = s == DFU_ERROR_CLAIMED ? QStringLiteral("another program holds the device; close it and try again")
                                       : QStringLiteral("cannot start: %1").arg(QString::fromLatin1(DFU_StatusText(s)));
    return l;
}

DfuWork::Poll DfuWork::poll()
{
    Poll p;
    DfuOperationContext c{};
    if (operation.status(c) != DFU_OK) {
        p.state = Poll::Failed;
        p.message = QStringLiteral("no operation runs");
        return p;
    }
    const auto take = [&p, &c] {
        p.phase = c.phase;
        p.percent = c.percent;
        p.done = c.bytesDone;
        p.total = c.bytesTotal;
        p.elapsedMs = c.elapsedMs;
        p.sectorsTouched = c.sectorsTouched;
        p.sectorsKept = c.sectorsKept;
    };
    take();
    if (c.errorStatus == DFU_OK && c.percent < 100)
        return p;
    // Ended: its final context, copied as the operation is let go.
    operation.stop(&c);
    take();
    if (c.errorStatus != DFU_OK) {
        p.state = Poll::Failed;
        p.message = QStringLiteral("%1 (at 0x%2)")
                        .arg(QString::fromLatin1(DFU_StatusText(c.errorStatus)))
                        .arg(c.failedAddress, 8, 16, QLatin1Char('0'));
        return p;
    }
    p.state = Poll::Done;
    return p;
}

void DfuWork::stop()
{
    operation.stop(nullptr);
}

bool DfuWork::writeUpload(const QString &path, QString &message)
{
    dfu::File file;
    DfuStatus written = DFUFILES_CreateNewDFUFile(path.toLocal8Bit().constData(), file.receive(), facts.vendorId,
                                                  facts.productId, facts.release);
    if (written == DFU_OK) {
        written = DFUFILES_AppendImageToDFUFile(file.get(), image.get());
        const DfuStatus closed = DFUFILES_CloseDFUFile(file.release());
        written = written == DFU_OK ? closed : written;
    }
    if (written != DFU_OK)
        message = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLatin1(DFU_StatusText(written)));
    return written == DFU_OK;
}

} // namespace update
