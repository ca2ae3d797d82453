#pragma once

// One opened DFU-mode device and the one operation at a time that runs on it: what opening
// it learned (descriptors, DFU version, memory mapping), the check that the device there is
// still the one opened, and the download, upload and return, each launched with the checks
// it needs (the image name Config.ini permits, the image for the memory worked on, the
// filter), polled to its end. The window (through DfuTarget) and the update road both drive
// devices through this class, so every rule of the DFU-mode half exists once; where the
// front ends differ by design, the difference is one of its Settings.
//
// GUI thread (or the thread that drives it) only: the library runs the operations on its own
// worker threads, and a poll copies their state.

#include "Outcome.h"
#include "SignedFile.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// A download that kept every sector it touched changed nothing: the board held the image.
inline bool keptEverySector(int sectorsTouched, int sectorsKept)
{
    return sectorsTouched > 0 && sectorsKept == sectorsTouched;
}

// Why a file whose suffix names other USB ids than the device's was not made for it; empty
// when the ids fit (0xFFFF in the file stands for any).
QString usbIdMismatch(quint16 fileVendorId, quint16 fileProductId, quint16 vendorId, quint16 productId);

// What a running operation has done so far, copied from the library at each poll.
struct DfuProgress
{
    // In the order an operation goes through them: Erase (comparing and erasing) before Write
    // before Verify; an upload reads; a return leaves.
    enum class Phase { Idle, Erase, Write, Verify, Read, Leave, Done };
    // What a failure was, as far as callers act on it: the board answered the request with an
    // error or a stall (a protected memory does), or anything else (the bus, the file, a lost
    // board).
    enum class Failure { None, BoardSaidNo, Other };
    Phase phase = Phase::Idle;
    int percent = 0; // 0 to 100; 100 only once the operation has fully succeeded
    quint32 bytesDone = 0;
    quint32 bytesTotal = 0;
    quint32 elapsedMs = 0;
    quint32 failedAddress = 0; // of the failing command or mismatch
    // A download: the erasable sectors the image touches, and of those the ones found holding it.
    quint16 sectorsTouched = 0;
    quint16 sectorsKept = 0;
    Failure failure = Failure::None;
};

class DfuLink
{
public:
    struct Settings
    {
        // A file whose suffix names other USB ids than the device's is written with a
        // warning (the window, as it always did, and tolvex-dfu with --force), or refused.
        enum class OtherUsbIds { Warn, Refuse };
        OtherUsbIds otherUsbIds = OtherUsbIds::Refuse;
        // A backup's image is named after its memory (the window), or with the name
        // Config.ini permits for the product, so that an update takes it back (tolvex-dfu).
        // Without such a name (no Config.ini, or the product not listed in it) the memory's
        // name is used and the launch says so in its note: updates will refuse that file.
        enum class BackupName { Memory, Permitted };
        BackupName backupName = BackupName::Permitted;
    };

    // open() results; DfuTarget reports them as they are.
    enum OpenResult { Connected = 0, VersionNotSupported = 1, NoMapping = 2, NoDescriptor = 3 };

    // Every poll timeout a device reports is waited out (on), or status requests go out as
    // soon as a device can answer them (off, the default). For every device of the process.
    static void waitOutPollTimeouts(bool on);

    DfuLink();
    explicit DfuLink(const Settings &settings);
    ~DfuLink();
    DfuLink(const DfuLink &) = delete;
    DfuLink &operator=(const DfuLink &) = delete;

    const Settings &settings() const { return settings_; }

    // Opens the device at `path`: its descriptors, a DFU version the tool speaks (1.1A to
    // 1.1F, with the address-extended commands), its memory mapping. `busAddress` is where
    // enumeration saw it ("BUS.ADDRESS"); empty, where it is now. `product`, the name it
    // reports, is for messages. The USB ids and release are known from NoMapping on.
    struct Open
    {
        OpenResult result = NoDescriptor;
        Outcome outcome; // Failed, saying why for people, unless Connected
        bool connected() const { return result == Connected; }
    };
    Open open(const QString &path, const QString &busAddress = QString(), const QString &product = QString());
    // Why a device that gave `code` cannot be worked on, for people.
    static QString openProblem(int code);
    bool isOpen() const { return alternateCount_ > 0; }
    // Closes the device and releases its mapping; a running operation goes on to its end.
    void letGo();

    const QString &path() const { return path_; }
    const QString &busAddress() const { return busAddress_; }
    quint16 vendorId() const { return vendorId_; }
    quint16 productId() const { return productId_; }
    quint16 release() const { return release_; }
    quint16 transferSize() const { return transferSize_; }
    quint32 alternateCount() const { return alternateCount_; }

    struct Alternate
    {
        quint8 number = 0;
        QString name;
        QString layout; // in the layout string's own notation
    };
    QList<Alternate> alternates() const;
    // The ranges ("0x08004000-0x080041ff") of the file's elements for `alternate` (-1: the
    // last) that cover part of a sector only: writing them erases the rest of that sector.
    QStringList partlyCoveredSectors(const DfuFileBytes &file, int alternate) const;
    // The memory the tool works on: the last alternate's.
    QString memoryName() const;

    // Whether the device at the path is still the one opened; warns when it is not.
    bool stillThere() const;

    struct Launch
    {
        // Refused: the file does not fit, nothing was touched. Failed: the device. Until a
        // launch says otherwise, nothing was launched.
        Outcome outcome = Outcome::failed(QStringLiteral("nothing was launched"));
        bool launched() const { return outcome.isOk(); }
        // What the window and the history tell apart.
        enum Reason {
            None,
            NotPermitted,
            SignatureRefused,
            NotADfuFile,
            OtherUsbIds,
            NoImage,
            DoesNotFit,
            NotReadable, // an upload or verify: the memory there cannot be read back
            NotOpen,
            Replaced,
            NotStarted
        };
        Reason reason = None;
        // What is worth saying although it was launched: a file for other USB ids written
        // all the same, a backup named after its memory.
        QString note;
    };
    // `alternate` below is an index among alternates(); -1 is the last one, the memory the
    // tool works on unless told otherwise.
    // The index of the alternate numbered `nameOrNumber`, or whose memory is named so (trailing
    // blanks aside); -1 when there is none.
    int alternateIndex(const QString &nameOrNumber) const;

    // What a download writes: the sectors that differ from the image (erased and written
    // again), every sector the image touches, or nothing (it compares only).
    enum class Download { Changed, Full, CompareOnly };
    // Checks the file against `permitted` (what Config.ini permits for the product as the
    // device names itself in DFU mode) and against the device's USB ids, chooses the image of
    // the alternate, and launches the download.
    Launch launchDownload(
        const DfuFileBytes &file, const QString &permitted, Download how = Download::Changed, int alternate = -1);
    // One range of a memory: `length` bytes from `address`; a length of 0 reads to the end of
    // the readable sectors that follow the address.
    struct Range
    {
        quint32 address = 0;
        quint32 length = 0;
    };
    // Reads the alternate's memory, whole or `range` of it (readable sectors only, within the
    // memory); `permitted` names the image where the settings say so.
    Launch launchUpload(const QString &permitted = QString(), int alternate = -1, const Range *range = nullptr);
    // After the same checks as a download, reads back what the file's image for the alternate
    // covers, and nothing else; differences() then tells how the memory compares.
    Launch launchVerify(const DfuFileBytes &file, const QString &permitted, int alternate = -1);
    // After a finished verify: the address ranges [first, second) where the memory differs from
    // the image, and how many bytes were compared.
    QList<QPair<quint32, quint32>> differences(qint64 *compared = nullptr) const;
    Launch launchReturn();

    // The suffix, signature and hash of the file last given to launchDownload.
    struct FileFacts
    {
        quint16 vendorId = 0;
        quint16 productId = 0;
        quint16 release = 0;
        QString signature;
        QString sha256;
    };
    const FileFacts &fileFacts() const { return file_; }
    // What the image launched is called.
    const QString &imageName() const { return imageName_; }
    // The image of the operation, while it is held (0 otherwise): the library's handle, for
    // the window, which shows whether one is held.
    quint32 image() const;
    // The library's code for the operation launched last.
    quint32 operationCode() const;
    bool running() const;
    enum class Operation { None, Download, Upload, Return };
    // The operation launched last (a verify is an upload).
    Operation launched() const;
    // Whether `path` fits the library's field for it: a longer one would be cut into another
    // device's.
    static bool pathFits(const QString &path);

    struct Poll
    {
        enum State { Running, Done, Failed };
        State state = Running;
        DfuProgress progress;
        QString message; // Failed: what went wrong, where
        bool upToDate() const { return keptEverySector(progress.sectorsTouched, progress.sectorsKept); }
    };
    // The running operation's state; once it has ended (Done or Failed), it is let go and its
    // final context copied. A download's image is released with it; an upload's stays for
    // writeBackup().
    Poll poll();
    // Stops the running operation, if any, between two transfers.
    void stop();
    // After a finished upload: the memory into a .dfu file, written whole or not at all, never
    // through a symbolic link. Without `replace`, nothing already at the path (a file or a
    // link) is replaced. `sha256`, if given, receives the hex SHA-256 of the bytes written.
    // Refused when no upload has finished, or without `replace` where something is at the path.
    Outcome writeBackup(const QString &filePath, bool replace = true, QString *sha256 = nullptr);

private:
    // The library's handles: only DfuLink.cpp sees the library.
    struct Handles;
    // What open() does, but for the words.
    OpenResult connect(const QString &path, const QString &busAddress, const QString &product);
    // `record` is an index among alternates(), checked.
    Launch launch(Operation operation, const QString &filePath, int record, Download how = Download::Changed);
    Launch refuse(Launch::Reason reason, const QString &message);
    // The checks a download and a verify share; the image for the alternate goes to the
    // download's image, or to the verify's expected one, and `record` receives the index of
    // its mapping record.
    Launch checkFile(const DfuFileBytes &file, const QString &permitted, int alternate, bool forVerify,
        QString &mismatch, int &record);
    // The index of `alternate`'s record, or -1 (the argument -1: the last).
    int recordOf(int alternate) const;

    Settings settings_;
    std::unique_ptr<Handles> h_;
    quint32 alternateCount_ = 0;
    QString path_;
    QString busAddress_;
    QString product_;
    quint16 vendorId_ = 0;
    quint16 productId_ = 0;
    quint16 release_ = 0;
    quint16 transferSize_ = 0;
    FileFacts file_;
    QString imageName_;
};
