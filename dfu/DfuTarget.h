#pragma once

#include "DfuEnumeration.h"
#include "DfuLink.h"

#include <QList>
#include <QString>

#include <memory>
#include <vector>

// The window's face of the DFU-mode device it is connected to: one DfuLink (which does the
// work), with the fields and integer codes the window reads mapped from it in one place.
// There is exactly one, the process-wide dfuTarget below; it starts zeroed. GUI thread only:
// the library runs the operations on its own threads and this object polls them.
class DfuTarget
{
public:
    // openDevice results.
    enum OpenResult {
        Connected = DfuLink::Connected,
        VersionNotSupported = DfuLink::VersionNotSupported,
        NoMapping = DfuLink::NoMapping,
        NoDescriptor = DfuLink::NoDescriptor
    };
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
    DfuProgress contextSnapshot() const { return context; }
    // The SHA-256 of the bytes the last download was launched with (empty if none was read).
    const QString &fileSha256() const { return launchedSha; }
    // Why the last download was refused as WrongImageName for its signature (empty otherwise).
    const QString &signatureRefusal() const { return refusedSignature; }
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
    quint32 alternateCount = 0;
    quint32 image = 0; // the library's handle of the running operation's image, 0 when none is held
    quint32 secondImage = 0;
    quint32 operationCode = 0;
    QString uploadPath;
    DfuProgress context;

private:
    // The window writes files for other USB ids with a warning, as it always did, and names
    // a backup after its memory.
    static DfuLink::Settings linkSettings();
    // The link that works on `devicePath`, if it is the one opened; warns when it is not.
    DfuLink *linkFor(const QString &devicePath) const;
    // Copies what the link holds into the fields the window reads.
    void mirror();

    std::unique_ptr<DfuLink> link;
    QString refusedSignature;
    QString launchedSha;
    // The last download ran to its end and was reaped by a poll.
    bool downloadCompleted = false;
    // Links let go while their return runs; nobody polls them, reapReturns ends them.
    std::vector<std::unique_ptr<DfuLink>> returns;
};

// Constructed before main() with the other process-wide objects, in start-up order.
extern DfuTarget dfuTarget;
