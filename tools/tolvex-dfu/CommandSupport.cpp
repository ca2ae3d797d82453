#include "CommandSupport.h"

#include "Central.h"

#include "History.h"

#include "DisplayText.h"

#include <QCoreApplication>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QThread>

#include <algorithm>

namespace cli {

namespace {

const char *resultOfExit(int exit)
{
    switch (exit) {
    case ExitDone: return "done";
    case ExitUsage: return "usage";
    case ExitRefused: return "refused";
    case ExitNoDevice: return "missing";
    case ExitInterrupted: return "interrupted";
    case ExitCannotTell: return "unknown";
    default: return "failed";
    }
}

int exitOf(update::Selected::Result r)
{
    switch (r) {
    case update::Selected::Invalid:
    case update::Selected::Ambiguous: return ExitUsage;
    case update::Selected::NoDevice:
    case update::Selected::NoneFits: return ExitNoDevice;
    case update::Selected::Chosen: break;
    }
    return ExitDone;
}

} // namespace

QString hex(quint32 address)
{
    return QStringLiteral("0x%1").arg(address, 8, 16, QLatin1Char('0'));
}

update::HistorySettings historyFor(const Options &o, const QString &historyPath, Output &out)
{
    if (historyPath.isEmpty())
        return update::HistorySettings();
    update::HistorySettings settings;
    const Outcome read = update::historySettings(o.central.value_or(QString()), settings);
    if (!read)
        out.problem(read.within(QStringLiteral("Central history")).message());
    if (!settings.central.isEmpty())
        qInfo("Central history: %s (%s)", qPrintable(update::maskedConnection(settings.central)),
            qPrintable(settings.origin));
    return settings;
}

QList<update::Device> presentDevices(const QString &historyPath)
{
    QList<update::Device> present = update::appDevices() + update::dfuDevices();
    // The history is opened only when it has something to tell: a command that waits for a
    // board looks every few hundred milliseconds.
    const bool unknown = std::any_of(
        present.begin(), present.end(), [](const update::Device &d) { return d.dfuMode() && d.appSerial.isEmpty(); });
    if (unknown) {
        update::History known(historyPath, update::History::Mode::Read);
        update::addKnownSerials(present, known);
    }
    return present;
}

bool interrupted(const Io &io)
{
    return io.interrupted && io.interrupted->load();
}

void idle()
{
    QCoreApplication::processEvents();
}

// JSON's null for what is not known, and the text itself otherwise.
QJsonValue known(const QString &text)
{
    return text.isEmpty() || text == QLatin1String("?") ? QJsonValue() : QJsonValue(text);
}

// An outcome that is not a device's: said to people, and with --json one result object.
int ends(Output &out, int exit, const QString &message)
{
    out.problem(message);
    if (out.jsonOutput())
        out.event({{QStringLiteral("event"), QStringLiteral("result")},
                   {QStringLiteral("device"), QJsonValue()},
                   {QStringLiteral("result"), QString::fromLatin1(resultOfExit(exit))},
                   {QStringLiteral("message"), message},
                   {QStringLiteral("exit"), exit}});
    return exit;
}

// A device's outcome in the commands that run one operation alone.
int endsOn(Output &out, const update::Device &d, int exit, const QString &message)
{
    out.problem(d.name() + QStringLiteral(": ") + message);
    if (out.jsonOutput())
        out.event({{QStringLiteral("event"), QStringLiteral("result")},
                   {QStringLiteral("device"), d.location},
                   {QStringLiteral("serial"), known(d.serial)},
                   {QStringLiteral("result"), QString::fromLatin1(resultOfExit(exit))},
                   {QStringLiteral("message"), message},
                   {QStringLiteral("exit"), exit}});
    return exit;
}

// The devices a command works on; with --wait, until one fits. Empty with the outcome said
// and `exit` set.
QList<update::Device> choose(const std::function<QList<update::Device>()> &present, const Options &o, Output &out,
                             const Io &io, int &exit)
{
    QElapsedTimer waited;
    waited.start();
    bool said = false;
    for (;;) {
        const update::Selected s = update::select(present(), o.selection());
        exit = exitOf(s.result);
        const bool none = s.result == update::Selected::NoDevice || s.result == update::Selected::NoneFits;
        if (s.result == update::Selected::Chosen)
            return s.devices;
        if (!none || !o.wait || waited.elapsed() >= qint64(o.waitSeconds) * 1000) {
            ends(out, exit, s.message);
            return {};
        }
        if (interrupted(io)) {
            exit = ends(out, ExitInterrupted, QStringLiteral("interrupted while waiting for a device"));
            return {};
        }
        if (!said)
            out.note(QStringLiteral("waiting up to %1 s for a device").arg(o.waitSeconds));
        said = true;
        idle();
        QThread::msleep(200);
    }
}

int exitOf(update::Session::Result r)
{
    switch (r) {
    case update::Session::Result::Failed: return ExitFailed;
    case update::Session::Result::Refused: return ExitRefused;
    case update::Session::Result::Missing: return ExitNoDevice;
    case update::Session::Result::Interrupted: return ExitInterrupted;
    case update::Session::Result::Replaced: return ExitFailed;
    case update::Session::Result::Pulled: return ExitFailed;
    case update::Session::Result::Unknown: return ExitCannotTell;
    case update::Session::Result::Differs: return ExitFailed;
    case update::Session::Result::Unreadable: return ExitUnreadable;
    default: return ExitDone;
    }
}

// The worst of several outcomes: an interruption, then a failure, a refusal, a device missing.
int worstExit(const QList<int> &codes)
{
    const auto rank = [](int code) {
        switch (code) {
        case ExitInterrupted: return 5;
        case ExitFailed: return 4;
        case ExitRefused: return 3;
        case ExitNoDevice: return 2;
        case ExitUnreadable:
        case ExitCannotTell: return 1;
        default: return 0;
        }
    };
    int worst = ExitDone;
    for (int code : codes) {
        if (rank(code) > rank(worst))
            worst = code;
    }
    return worst;
}

// Polls one operation to its end, for the commands that run one alone: true when it ended
// well; false when it failed (`message` set) or was interrupted (`stopped` set).
bool finish(DfuLink &link, const update::Device &device, const QString &phase, Output &out, const Io &io, bool &stopped,
    QString &message)
{
    stopped = false;
    for (;;) {
        const DfuLink::Poll p = link.poll();
        if (p.state == DfuLink::Poll::Failed) {
            message = QStringLiteral("%1 failed: %2").arg(phase, p.message);
            return false;
        }
        const DfuProgress &c = p.progress;
        out.progress(device.location, phase, p.state == DfuLink::Poll::Done ? 100 : c.percent, c.bytesDone,
            c.bytesTotal, c.elapsedMs);
        if (p.state == DfuLink::Poll::Done) {
            out.finished(device.location);
            return true;
        }
        if (interrupted(io)) {
            link.stop();
            stopped = true;
            return false;
        }
        QThread::msleep(PollMs);
    }
}

QString tableLine(const QList<QPair<QString, int>> &fields)
{
    QStringList out;
    for (const auto &f : fields)
        out << (f.second < 0 ? f.first.leftJustified(-f.second) : f.first.rightJustified(f.second));
    return out.join(QLatin1Char(' '));
}

QString elided(const QString &text, int width)
{
    return display::elided(text, width);
}

// The settings of a road over the one FILE given: Config.ini read, and the file checked as far
// as it can be before any board is touched. False with the outcome said and `exit` set.
bool prepareRoad(const Options &o, const Io &io, Output &out, const char *command, update::Session::Settings &settings,
    DfuFileCheck &checked, int &exit)
{
    if (o.positional.size() != 1) {
        exit = ends(out, ExitUsage, QStringLiteral("%1 takes one FILE.dfu").arg(QLatin1String(command)));
        return false;
    }
    // Read once for the whole run: every board gets these bytes, whatever the disk holds later.
    settings.file = readDfuFile(o.positional.first());
    settings.full = o.full;
    settings.arrivalTimeoutMs = io.arrivalTimeoutMs;
    const LoadedConfiguration config = readConfiguration(o.config);
    if (config.result != LoadedConfiguration::Loaded) {
        exit = ends(out, ExitRefused, config.error);
        return false;
    }
    settings.names = config.names;
    checked = checkDfuFile(*settings.file, settings.names);
    if (!checked.outcome && settings.file->check.result == SignedFile::SignatureRefused) {
        // Unsigned, but perhaps this machine's own backup, which the administrator may let
        // through for the board it came from.
        const RestorePolicy restore = loadRestorePolicy();
        if (!restore.taken)
            out.problem(restore.taken.message());
        // Only a history that nobody but the running user could have written says what the
        // user backed up: a row another user put in a shared one would whitelist any file.
        const QString historyPath = o.noHistory ? QString() : o.history.value_or(update::History::defaultPath());
        const Outcome trusted = restore.ownBackups ? update::History::credentials(historyPath) : Outcome::ok();
        bool recorded = false;
        const QStringList boards =
            restore.ownBackups && trusted
                ? update::History(historyPath, update::History::Mode::Read).backupsOf(settings.file->sha256, &recorded)
                : QStringList();
        if (!boards.isEmpty()) {
            settings.file = asOwnBackup(*settings.file);
            settings.backupOf = boards;
            checked = checkDfuFile(*settings.file, settings.names);
        } else if (restore.ownBackups && !trusted) {
            checked.outcome = checked.outcome.followedBy(
                QStringLiteral("; no backup can be restored unsigned on the word of this history: ")
                + trusted.message());
        } else if (restore.ownBackups && recorded) {
            checked.outcome = checked.outcome.followedBy(
                QStringLiteral("; it is a backup of a board whose own serial was not known, so it names no board"));
        } else if (restore.ownBackups) {
            checked.outcome =
                checked.outcome.followedBy(QStringLiteral("; it is no backup that this machine's history records"));
        } else {
            checked.outcome = checked.outcome.followedBy(
                QStringLiteral("; to restore a backup, have it signed with a trusted key (a .minisig beside it), or "
                               "ask the administrator to allow this machine's own backups (\"own-backups\" in %1)")
                    .arg(restore.path));
        }
    }
    settings.fileRelease = checked.release;
    settings.allowOlder = o.allowOlder;
    // A backup upload made, restored: what it covers of a sector only in part is said.
    if (settings.backupOf.isEmpty() && checked.outcome && !o.noHistory) {
        bool recorded = false;
        update::History(o.history.value_or(update::History::defaultPath()), update::History::Mode::Read)
            .backupsOf(settings.file->sha256, &recorded);
        settings.restoresBackup = recorded;
    }
    settings.restoresBackup = settings.restoresBackup || !settings.backupOf.isEmpty();
    if (!checked.outcome) {
        exit = ends(out, ExitRefused, checked.outcome.message() + QStringLiteral("; no device was touched"));
        return false;
    }
    return true;
}

} // namespace cli
