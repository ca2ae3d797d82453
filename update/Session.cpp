#include "Session.h"

#include <QFileInfo>
#include <QSysInfo>

namespace update {

History::Record historyRecord(const Session &s, const QString &program, const QString &file, const QString &fileSha256)
{
    History::Record r;
    r.started = s.startedAt();
    r.program = program;
    r.programVersion = QStringLiteral(TOLVEX_VERSION);
    r.host = QSysInfo::machineHostName();
    r.product = s.device().product;
    r.serial = s.device().serial;
    r.location = s.device().location;
    r.versionBefore = s.oldVersion() == QLatin1String("?") ? QString() : s.oldVersion();
    r.versionAfter = s.newVersion();
    r.file = QFileInfo(file).absoluteFilePath();
    r.fileSha256 = fileSha256;
    const Session::Details &d = s.details();
    r.imageName = d.imageName;
    if (d.sectorsTouched > 0) {
        r.sectorsWritten = d.sectorsTouched - d.sectorsKept;
        r.sectorsKept = d.sectorsKept;
    }
    r.bytesVerified = d.bytesVerified;
    switch (s.result()) {
    case Session::Result::Running: r.result = QStringLiteral("running"); break;
    case Session::Result::Done:
        r.result = d.sectorsTouched > 0 && d.sectorsKept == d.sectorsTouched ? QStringLiteral("up to date")
                                                                              : QStringLiteral("done");
        break;
    case Session::Result::Refused: r.result = QStringLiteral("refused"); break;
    case Session::Result::Interrupted: r.result = QStringLiteral("interrupted"); break;
    default: r.result = QStringLiteral("failed"); break;
    }
    r.message = s.message();
    r.seconds = double(s.elapsedMs()) / 1000.0;
    if (s.over())
        r.ended = QDateTime::currentDateTimeUtc();
    return r;
}

QString phaseText(uint32_t phase)
{
    switch (phase) {
    case DFU_PHASE_WRITE: return QStringLiteral("write");
    case DFU_PHASE_VERIFY:
    case DFU_PHASE_DONE: return QStringLiteral("verify");
    case DFU_PHASE_READ: return QStringLiteral("read");
    case DFU_PHASE_LEAVE: return QStringLiteral("return");
    default: return QStringLiteral("erase");
    }
}

const char *resultName(Session::Result r)
{
    switch (r) {
    case Session::Result::Done: return "done";
    case Session::Result::Failed: return "failed";
    case Session::Result::Refused: return "refused";
    case Session::Result::Missing: return "missing";
    case Session::Result::Interrupted: return "interrupted";
    case Session::Result::Running: break;
    }
    return "running";
}

Session::Session(const Device &device, const Settings &settings) : device_(device), settings(settings)
{
    clock.start();
    waiting.start();
}

void Session::end(Result r, const QString &text)
{
    if (work)
        work->stop();
    work.reset();
    result_ = r;
    message_ = text;
    step = Step::Over;
    endedAfterMs = clock.elapsed();
    if (r != Result::Done && r != Result::Interrupted && problem)
        problem(text);
}

void Session::start()
{
    if (step != Step::Start)
        return;
    step = Step::WaitDfu;
    waiting.restart();
    if (device_.dfuMode())
        return;
    fromApplication = true;
    const VersionAnswer v = queryVersion(device_);
    if (settings.dryRun) {
        oldVersion_ = v.answered && v.version.isEmpty() ? QStringLiteral("(not reported)") : v.version;
        details_.permittedName = permittedImageName(settings.names, device_.product);
        if (!v.answered)
            fail(QStringLiteral("does not answer in application mode"));
        else
            end(Result::Done, QStringLiteral("would be sent into DFU mode and updated; Config.ini is checked there, by "
                                             "the name its boot loader reports"));
        return;
    }
    oldVersion_ = v.answered && v.version.isEmpty() ? QStringLiteral("(not reported)") : v.version;
    if (!v.answered) {
        oldVersion_ = QStringLiteral("?");
        fail(v.opened ? QStringLiteral("does not answer in application mode; replug it and try again")
                      : QStringLiteral("it cannot be opened (without permission, install the udev rules: "
                                       "packaging/70-tolvex-dfu.rules, and replug it)"));
    } else if (!enterDfuMode(device_)) {
        fail(QStringLiteral("refused to enter DFU mode"));
    } else if (noted) {
        noted(QStringLiteral("entering DFU mode"));
    }
}

void Session::prepare(const Device &inDfu)
{
    // From here on the board is the DFU-mode device, with the name its boot loader reports.
    const QString location = device_.location;
    device_.mode = Device::Dfu;
    device_.path = inDfu.path;
    device_.busAddress = inDfu.busAddress;
    device_.product = inDfu.product;
    device_.serial = inDfu.serial.isEmpty() ? device_.serial : inDfu.serial;
    device_.location = location;
    work = std::make_unique<DfuWork>();
    QString why;
    if (!work->open(device_, why)) {
        fail(why);
        return;
    }
    details_.dfuPath = device_.path;
    details_.transferSize = work->transferSize();
    details_.permittedName = permittedImageName(settings.names, device_.product);
    const int32_t flag = settings.dryRun ? DFU_FLAG_COMPARE_ONLY : settings.full ? DFU_FLAG_FULL_DOWNLOAD : 0;
    const DfuWork::Launch l = work->launchDownload(settings.file, settings.names, flag, settings.force);
    details_.imageName = work->imageName();
    if (l.result == DfuWork::Launch::Launched) {
        step = settings.dryRun ? Step::Compare : Step::Download;
        return;
    }
    if (l.result == DfuWork::Launch::Failed) {
        fail(l.message);
        return;
    }
    // Refused in DFU mode: a board that came from its application goes back there.
    if (fromApplication) {
        refusal = l.message;
        startReturn(Step::ReturnRefused);
        return;
    }
    end(Result::Refused, QStringLiteral("refused: ") + l.message + QStringLiteral("; nothing erased"));
}

void Session::startReturn(Step next)
{
    const DfuWork::Launch l = work->launchReturn();
    if (l.result == DfuWork::Launch::Launched) {
        step = next;
        return;
    }
    if (next == Step::ReturnRefused)
        end(Result::Refused, QStringLiteral("refused: ") + refusal
                                 + QStringLiteral("; nothing erased, but it stays in DFU mode: ") + l.message);
    else
        fail(QStringLiteral("written and verified, but it did not return to its application: ") + l.message);
}

bool Session::operationDone(const QString &phaseName)
{
    const DfuWork::Poll p = work->poll();
    if (p.sectorsTouched) {
        details_.sectorsTouched = p.sectorsTouched;
        details_.sectorsKept = p.sectorsKept;
    }
    if (step == Step::Compare)
        comparedBytes = p.total;
    if (p.phase == DFU_PHASE_VERIFY || (p.state == DfuWork::Poll::Done && step == Step::Download))
        details_.bytesVerified = p.done;
    Progress progress;
    // A download names its phase as the library reports it, and counts that phase's bytes.
    progress.phase = !phaseName.isEmpty() ? phaseName : phaseText(p.phase);
    progress.done = p.done;
    progress.total = p.total;
    progress.percent = p.state == DfuWork::Poll::Done || (p.total > 0 && p.done >= p.total)
                           ? 100
                           : p.total > 0 ? int(quint64(p.done) * 100 / p.total) : p.percent;
    progress.elapsedMs = p.elapsedMs;
    if (p.state == DfuWork::Poll::Failed) {
        const QString what = QStringLiteral("%1 failed: %2").arg(progress.phase, p.message);
        if (step == Step::Download)
            fail(what + QStringLiteral("; the device stays in DFU mode, run the update again"));
        else if (step == Step::ReturnRefused)
            end(Result::Refused, QStringLiteral("refused: ") + refusal
                                     + QStringLiteral("; nothing erased, but it stays in DFU mode: ") + what);
        else
            fail(QStringLiteral("written and verified, but it did not return to its application: ") + what);
        return false;
    }
    if (progressed && step != Step::ReturnRefused)
        progressed(progress);
    return p.state == DfuWork::Poll::Done;
}

void Session::advance()
{
    switch (step) {
    case Step::Start:
        start();
        break;
    case Step::WaitDfu:
        if (auto d = deviceAt(dfuDevices(), device_.location))
            prepare(*d);
        else if (waiting.elapsed() > settings.arrivalTimeoutMs)
            end(Result::Missing, QStringLiteral("did not come back in DFU mode in time; replug it and try again"));
        break;
    case Step::Compare: {
        if (!operationDone(QStringLiteral("compare")))
            break;
        // A rough estimate from typical flash figures: erase about 16 ms and write about 4 ms
        // a KiB, and read back at about 1 MB/s.
        const int differing = details_.sectorsTouched - details_.sectorsKept;
        details_.differingBytes =
            details_.sectorsTouched ? comparedBytes * differing / details_.sectorsTouched : 0;
        details_.estimatedSeconds = double(details_.differingBytes) / 1024.0 * 0.021;
        end(Result::Done, QStringLiteral("would erase and write %1 of %2 sectors (%3 KiB), about %4 s")
                              .arg(differing)
                              .arg(details_.sectorsTouched)
                              .arg(details_.differingBytes / 1024)
                              .arg(details_.estimatedSeconds, 0, 'f', 1));
        break;
    }
    case Step::Download:
        if (!operationDone(QString()))
            break;
        if (settings.stay)
            end(Result::Done, QStringLiteral("written and verified; left in DFU mode"));
        else
            startReturn(Step::Return);
        break;
    case Step::Return:
        if (operationDone(QStringLiteral("return"))) {
            step = Step::WaitApp;
            waiting.restart();
        }
        break;
    case Step::ReturnRefused:
        if (operationDone(QStringLiteral("return")))
            end(Result::Refused, QStringLiteral("refused: ") + refusal
                                     + QStringLiteral("; nothing erased, and it was sent back to its application"));
        break;
    case Step::WaitApp:
        if (auto d = deviceAt(appDevices(), device_.location)) {
            const VersionAnswer v = queryVersion(*d);
            newVersion_ = v.version;
            end(Result::Done, v.answered ? QString() : QStringLiteral("back in its application, but it does not answer"));
        } else if (waiting.elapsed() > settings.arrivalTimeoutMs) {
            end(Result::Missing, QStringLiteral("written and verified, but it did not come back in its application in "
                                                "time; replug it"));
        }
        break;
    case Step::Over:
        break;
    }
}

void Session::interrupt()
{
    if (over())
        return;
    const bool inDfu = step != Step::WaitApp && step != Step::Start;
    end(Result::Interrupted, inDfu ? QStringLiteral("interrupted; the device stays in DFU mode: run the same update "
                                                    "again to finish it")
                                   : QStringLiteral("interrupted while it restarts"));
}

} // namespace update
