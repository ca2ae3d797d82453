#include "DfuTarget.h"

#include <QtDebug>

#include <algorithm>

DfuLink::Settings DfuTarget::linkSettings()
{
    DfuLink::Settings s;
    s.otherUsbIds = DfuLink::Settings::OtherUsbIds::Warn;
    s.backupName = DfuLink::Settings::BackupName::Memory;
    return s;
}

DfuTarget::~DfuTarget()
{
    returns.clear();
    link.reset();
}

DfuLink *DfuTarget::linkFor(const QString &devicePath) const
{
    if (!link || !link->isOpen())
        return nullptr;
    if (link->path() == devicePath)
        return link.get();
    // Not the device opened: nothing is known of it, and it is not worked on.
    if (DfuLink::pathFits(devicePath))
        sameDfuDevice(devicePath, QString());
    return nullptr;
}

void DfuTarget::mirror()
{
    alternateCount = link ? link->alternateCount() : 0;
    image = link ? link->image() : 0;
    secondImage = 0;
}

int DfuTarget::openDevice(const QString &path)
{
    auto opened = std::make_unique<DfuLink>(linkSettings());
    const int result = opened->open(path).result;
    if (result == Connected || result == NoMapping) {
        vendorId = opened->vendorId();
        productId = opened->productId();
        deviceRelease = opened->release();
    }
    if (result != Connected)
        return result;
    releaseDevice();
    link = std::move(opened);
    mirror();
    return Connected;
}

void DfuTarget::releaseDevice()
{
    if (link && link->running() && link->launched() == DfuLink::Operation::Return) {
        // A return goes on to its end without the handle and the mapping.
        link->letGo();
        returns.push_back(std::move(link));
    }
    link.reset();
    mirror();
}

void DfuTarget::reapReturns()
{
    returns.erase(std::remove_if(returns.begin(), returns.end(),
                      [](const std::unique_ptr<DfuLink> &r) {
                          return !r->running() || r->poll().state != DfuLink::Poll::Running;
                      }),
        returns.end());
}

bool DfuTarget::returning(const QString &path) const
{
    const auto runs = [&](const std::unique_ptr<DfuLink> &r) { return r->path() == path && r->running(); };
    return std::any_of(returns.begin(), returns.end(), runs) || (link && runs(link));
}

int DfuTarget::launchReturn(const QString &devicePath)
{
    reapReturns();
    DfuLink *l = linkFor(devicePath);
    if (!l || !l->launchReturn().launched()) {
        mirror();
        return ReturnRefused;
    }
    operationCode = l->operationCode();
    // Nobody polls a return: once the window lets the device go, reapReturns ends it.
    mirror();
    return ReturnLaunched;
}

int DfuTarget::launchDownload(const QString &filePath, const QString &permittedImageName, const QString &devicePath)
{
    // What a refused launch leaves is not the last file's.
    fileVendorId = fileProductId = fileRelease = 0;
    launchedSha.clear();
    refusedSignature.clear();
    // A device that Config.ini permits no image for takes none, not any unnamed one.
    if (permittedImageName.isEmpty())
        return WrongImageName;
    DfuLink *l = linkFor(devicePath);
    if (!l)
        return LaunchRefused;
    downloadCompleted = false;
    // Read once for this download: what is checked, written and recorded are the same bytes.
    const SharedDfuFile file = readDfuFile(filePath);
    launchedSha = file->sha256;
    const DfuLink::Launch launched = l->launchDownload(*file, permittedImageName);
    fileVendorId = l->fileFacts().vendorId;
    fileProductId = l->fileFacts().productId;
    fileRelease = l->fileFacts().release;
    mirror();
    if (!launched.note.isEmpty())
        qWarning("Download: %s: %s.", filePath.toLocal8Bit().constData(), qPrintable(launched.note));
    switch (launched.reason) {
    case DfuLink::Launch::None: break;
    case DfuLink::Launch::SignatureRefused:
        // Refused as a file of the wrong name is: the user is to pick the maker's file.
        qWarning(
            "Download: %s refused: %s", filePath.toLocal8Bit().constData(), qPrintable(launched.outcome.message()));
        refusedSignature = launched.outcome.message();
        return WrongImageName;
    case DfuLink::Launch::NotPermitted: return WrongImageName;
    case DfuLink::Launch::NotADfuFile: return NotADfuFile;
    case DfuLink::Launch::NoImage: return NoImage;
    case DfuLink::Launch::OtherUsbIds:
    case DfuLink::Launch::DoesNotFit:
    case DfuLink::Launch::NotReadable:
    case DfuLink::Launch::NotOpen:
    case DfuLink::Launch::Replaced:
    case DfuLink::Launch::NotStarted: return LaunchRefused;
    }
    operationCode = l->operationCode();
    context = DfuProgress();
    upgradePending = 1;
    return DownloadLaunched;
}

int DfuTarget::launchUpload(const QString &filePath, const QString &devicePath)
{
    uploadPath = filePath;
    downloadCompleted = false;
    DfuLink *l = linkFor(devicePath);
    const bool launched = l && l->launchUpload().launched();
    mirror();
    if (!launched)
        return UploadRefused;
    operationCode = l->operationCode();
    context = DfuProgress();
    return UploadLaunched;
}

int DfuTarget::pollOperation()
{
    // The window polls once more after a download that ended between two of its polls.
    if (!link || !link->running() || link->launched() == DfuLink::Operation::Return)
        return downloadCompleted ? PollOk : PollError;
    const DfuLink::Poll p = link->poll();
    context = p.progress;
    const DfuLink::Operation operation = link->launched();
    if (p.state == DfuLink::Poll::Failed) {
        mirror();
        return PollError;
    }
    if (operation == DfuLink::Operation::Download && context.phase > DfuProgress::Phase::Erase)
        upgradePending = 0;
    if (p.state == DfuLink::Poll::Running)
        return PollOk;
    int result = PollOk;
    if (operation == DfuLink::Operation::Download) {
        upgradePending = 0;
        downloadCompleted = true;
    } else if (operation == DfuLink::Operation::Upload) {
        const Outcome written = link->writeBackup(uploadPath);
        if (!written) {
            qWarning("Upload: %s", qPrintable(written.message()));
            result = PollError;
        }
    }
    mirror();
    return result;
}
