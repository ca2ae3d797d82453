#pragma once

// The whole update road of one board, as steps: into DFU mode and wait, open and check that
// it is the board that was chosen, check the file against the name the board reports in DFU
// mode and choose the image, download, return and wait, read the new version. A front end
// starts sessions and calls advance() on each every few milliseconds; nothing here waits
// long, opens a dialog or runs an event loop.

#include "ConfigFile.h"
#include "Devices.h"
#include "DfuLink.h"
#include "History.h"
#include "Release.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <optional>
#include <memory>

namespace update {

class Session
{
public:
    struct Settings
    {
        SharedDfuFile file; // read once: every board of a run is written from these bytes
        ImageNameList names;
        bool full = false;     // erase and write every touched sector, kept or not
        bool force = false;    // write a file whose suffix names other USB ids
        // Go as far as can be gone without changing anything: a board in application mode is
        // not sent into DFU mode (unless `enter`: then it is, compared there, and sent back);
        // one in DFU mode is read and compared, not erased.
        bool dryRun = false;
        bool enter = false;
        bool stay = false;     // leave the board in DFU mode afterwards
        quint16 fileRelease = 0; // the file's suffix release (bcdDevice)
        bool allowOlder = false; // write a file older than the board's firmware
        int arrivalTimeoutMs = 15000;
        // A station's board: the advice is for a station (no "run the update again").
        bool station = false;
        // The boot loader's serial that the board with this serial of its own has always
        // shown (from the history), empty when not known: a board that comes back in DFU mode
        // with another one is another board. (Boot loaders may share one serial, so a boot
        // serial never names a board by itself.)
        std::function<QString(const QString &serial)> bootSerialOf;
        // Read back what the file covers and compare, instead of writing (nothing is erased).
        bool verify = false;
        // The memory worked on: an index among the board's alternates, -1 the last one; or
        // named (a number or a memory's name), looked up once the board is open.
        QString alternate;
        // The file is this machine's backup of these boards (their own serials), restored
        // unsigned by the administrator's leave: every other board refuses it.
        QStringList backupOf;
        // The file is a backup that upload made (a range of a memory, perhaps): a sector it
        // covers only in part is said to be erased whole.
        bool restoresBackup = false;
    };
    // Replaced: another board came back at the port than the one that left (exit 1).
    // Unknown: a dry run in application mode cannot tell without entering DFU mode.
    // Differs: a verify found the memory other than the file. Unreadable: a verify could not
    // read the memory back (not readable, or the board refused to).
    // Pulled: the board left its port in the middle of the road, perhaps half-written (exit 1).
    enum class Result {
        Running,
        Done,
        Failed,
        Refused,
        Missing,
        Interrupted,
        Replaced,
        Unknown,
        Differs,
        Unreadable,
        Pulled
    };

    // Who the board is, as far as the road has met it: its port, and what it reports in
    // each mode. Its own serial is its application's where it has one: boot loaders often
    // report one fixed string for every board, or a serial of the chip.
    struct Identity
    {
        QString location;
        QString product; // application mode
        QString serial;
        QString bootProduct; // DFU mode
        QString bootSerial;
        QString ownSerial() const { return !serial.isEmpty() ? serial : bootSerial; }
    };
    struct Progress
    {
        QString phase; // "erase" (comparing and erasing), "write", "verify", "return"
        int percent = 0; // of the phase
        quint32 done = 0;
        quint32 total = 0;
        quint32 elapsedMs = 0;
    };

    Session(const Device &device, const Settings &settings);

    // When it began, in UTC.
    const QDateTime &startedAt() const { return started; }
    // Its history row's identifier.
    const QString &rowIdentifier() const { return rowId; }
    // What the road met and did so far, for the history row of `program`.
    Road road(const QString &program) const;

    // Application mode: asks the version and sends the board into DFU mode. DFU mode:
    // nothing yet. Either may end the session at once.
    void start();
    // One step; does nothing once the session is over.
    void advance();
    // Stops between two transfers; the board stays where it is.
    void interrupt();
    // Ends a session not yet started as refused: nothing was asked of the board.
    void refuse(const QString &why);
    // Ends a session whose board a station saw leave (another board took its port).
    void pulled(const QString &why);
    // Sent from its application, and not yet back in DFU mode: the board may have been pulled.
    bool waitingForDfu() const { return step == Step::WaitDfu && fromApplication; }
    // The same board come back after `earlier` gave it up (it restarted slower than the wait):
    // one record, under the earlier row's identifier, start and serial.
    void continues(const Session &earlier);

    bool over() const { return result_ != Result::Running; }
    Result result() const { return result_; }
    const QString &message() const { return message_; }
    const Device &device() const { return device_; }
    const Identity &identity() const { return identity_; }
    // The serial the board was met with, in the mode it was in.
    const QString &metSerial() const { return metSerial_; }
    const QString &oldVersion() const { return oldVersion_; }
    const QString &newVersion() const { return newVersion_; }
    const SharedDfuFile &file() const { return settings.file; }
    // The file's release as its suffix gives it ("1.02"); empty when it gives none.
    QString fileRelease() const;

    // What the road learned on the way, for --verbose and a dry run.
    struct Details
    {
        QString dfuPath;
        QString imageName;      // of the file's image chosen
        QString permittedName;  // what Config.ini permits for the product in DFU mode
        quint16 transferSize = 0;
        int sectorsTouched = 0;
        int sectorsKept = 0;
        qint64 bytesVerified = -1;
        qint64 differingBytes = 0; // a dry run's estimate of what would be erased and written
        double estimatedSeconds = 0;
        // A verify: where the memory differs from the file, [first, second), and bytes compared.
        QList<QPair<quint32, quint32>> differences;
        qint64 bytesCompared = 0;
    };
    const Details &details() const { return details_; }
    // The session's own time: until it ended, or until now.
    qint64 elapsedMs() const { return over() ? endedAfterMs : clock.elapsed(); }

    // Told as the road goes: what a person may want to read, what went wrong, and progress.
    std::function<void(const QString &)> noted;
    std::function<void(const QString &)> problem;
    std::function<void(const Progress &)> progressed;

private:
    enum class Step { Start, WaitDfu, Download, Compare, Verify, Return, ReturnRefused, WaitApp, WaitAppRefused, Over };

    void end(Result r, const QString &text);
    void fail(const QString &text) { end(Result::Failed, text); }
    void prepare(const Device &inDfu);
    void startReturn(Step next);
    // A dry run's or a verify's end: the board goes back unless it is to stay.
    void finishCompared();
    // The return after the work failed: how the session ends.
    void returnFailed(const QString &why);
    // Whether the board at the port now is the one that left; ends the session if not.
    bool stillTheBoard(const Device &here);
    // The end of a refusal once the board is back in its application (or did not come).
    void endRefused(const QString &how);
    // What a backup covers of sectors only in part, for a note; empty when nothing.
    QString partialSectors(int alternate) const;
    // How a board left in DFU mode is finished, for the front end at hand.
    QString again() const;
    // Whether the DFU-mode device worked on is still on the bus, at its port.
    bool stillThere() const;
    // Polls the running operation; true once it has ended well.
    bool operationDone(const QString &phaseName);

    Device device_;
    Identity identity_;
    QString metSerial_;
    // DFU-mode devices that were at the port before the board was sent there: none of them
    // is the board.
    QStringList dfuBefore;
    std::optional<QString> expectedBootSerial; // what the history says its boot loader shows
    Settings settings;
    Result result_ = Result::Running;
    QString message_;
    QString oldVersion_ = QStringLiteral("?");
    QString newVersion_;
    bool fromApplication = false;
    Step step = Step::Start;
    QElapsedTimer clock;
    QDateTime started = QDateTime::currentDateTimeUtc();
    QDateTime endedAt; // UTC, once over: a row is ended when its own board was, not later
    QString rowId = newRowId();
    qint64 endedAfterMs = 0;
    QElapsedTimer waiting;
    QString refusal; // why the file was refused, while the board is sent back
    QString compared; // a dry run's or verify's finding, while the board is sent back
    Result comparedResult = Result::Done;
    Details details_;
    qint64 comparedBytes = 0;
    std::unique_ptr<DfuLink> link;
};

const char *resultName(Session::Result r);
// The name of an operation's phase for people: "erase" (comparing and erasing), "write", "verify"...
QString phaseText(DfuProgress::Phase phase);

} // namespace update
