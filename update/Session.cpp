#include "Session.h"

#include <algorithm>

namespace update {

Road Session::road(const QString &program) const
{
    Road r;
    r.uuid = rowId;
    r.program = program;
    r.location = identity_.location;
    r.product = identity_.product;
    r.serial = identity_.serial;
    r.bootProduct = identity_.bootProduct;
    r.bootSerial = identity_.bootSerial;
    r.versionBefore = oldVersion_ == QLatin1String("?") ? QString() : oldVersion_;
    r.versionAfter = newVersion_;
    if (settings.file) {
        r.filePath = settings.file->path;
        r.fileSha256 = settings.file->sha256;
    }
    r.fileRelease = settings.fileRelease;
    r.imageName = details_.imageName;
    r.sectorsTouched = details_.sectorsTouched;
    r.sectorsKept = details_.sectorsKept;
    r.bytesVerified = details_.bytesVerified;
    using O = Road::Outcome;
    switch (result_) {
    case Result::Running: r.outcome = O::Running; break;
    case Result::Done: r.outcome = O::Done; break;
    case Result::Refused: r.outcome = O::Refused; break;
    case Result::Interrupted: r.outcome = O::Interrupted; break;
    case Result::Replaced: r.outcome = O::Replaced; break;
    case Result::Pulled: r.outcome = O::Pulled; break;
    default: r.outcome = O::Failed; break;
    }
    r.message = message_;
    r.started = started;
    r.ended = endedAt;
    r.elapsedMs = elapsedMs();
    return r;
}

QString phaseText(DfuProgress::Phase phase)
{
    switch (phase) {
    case DfuProgress::Phase::Write: return QStringLiteral("write");
    case DfuProgress::Phase::Verify:
    case DfuProgress::Phase::Done: return QStringLiteral("verify");
    case DfuProgress::Phase::Read: return QStringLiteral("read");
    case DfuProgress::Phase::Leave: return QStringLiteral("return");
    case DfuProgress::Phase::Idle:
    case DfuProgress::Phase::Erase: break;
    }
    return QStringLiteral("erase");
}

const char *resultName(Session::Result r)
{
    switch (r) {
    case Session::Result::Done: return "done";
    case Session::Result::Failed: return "failed";
    case Session::Result::Refused: return "refused";
    case Session::Result::Missing: return "missing";
    case Session::Result::Interrupted: return "interrupted";
    case Session::Result::Replaced: return "replaced";
    case Session::Result::Unknown: return "unknown";
    case Session::Result::Differs: return "differs";
    case Session::Result::Unreadable: return "unreadable";
    case Session::Result::Pulled: return "pulled";
    case Session::Result::Running: break;
    }
    return "running";
}

QString Session::fileRelease() const
{
    return releaseOfFile(settings.fileRelease).text;
}

Session::Session(const Device &device, const Settings &settings) : device_(device), settings(settings)
{
    identity_.location = device.location;
    metSerial_ = device.serial;
    (device.dfuMode() ? identity_.bootProduct : identity_.product) = device.product;
    (device.dfuMode() ? identity_.bootSerial : identity_.serial) = device.serial;
    if (device.dfuMode() && identity_.serial.isEmpty())
        identity_.serial = device.appSerial;
    clock.start();
    waiting.start();
}

void Session::end(Result r, const QString &text)
{
    // A difference found stays the news, whatever happens after the comparison: what went
    // wrong afterwards (the board did not come back) is said with it.
    if (settings.verify && comparedResult == Result::Differs && r != Result::Differs && r != Result::Done) {
        end(Result::Differs, compared + QStringLiteral("; then: ") + text);
        return;
    }
    if (link)
        link->stop();
    link.reset();
    result_ = r;
    message_ = text;
    step = Step::Over;
    endedAfterMs = clock.elapsed();
    endedAt = QDateTime::currentDateTimeUtc();
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
    // No rollback unasked: a file older than the firmware the board runs is refused before the
    // board leaves its application (a dry run says the same).
    const FirmwareRelease file = releaseOfFile(settings.fileRelease), board = releaseOfBoard(v.version);
    if (v.answered && !settings.allowOlder && !settings.verify && olderThan(file, board)) {
        oldVersion_ = v.version;
        end(Result::Refused, QStringLiteral("refused: the file's release %1 is older than the board's firmware %2; "
                                            "nothing was changed (--allow-older writes it all the same)")
                                 .arg(file.text, v.version));
        return;
    }
    if (settings.dryRun && !settings.enter) {
        oldVersion_ = v.answered && v.version.isEmpty() ? QStringLiteral("(not reported)") : v.version;
        details_.permittedName = permittedImageName(settings.names, device_.product);
        // What can be told here is told; whether its boot loader takes the file is not.
        if (!v.answered)
            fail(QStringLiteral("does not answer in application mode"));
        else
            end(Result::Unknown, QStringLiteral("the file reads, is permitted for some product and is not older than "
                                                "the board's firmware; whether its boot loader takes it is known only "
                                                "in DFU mode (--dry-run --enter goes there to compare, and back)"));
        return;
    }
    // Any DFU-mode device already at the port is not the board that is sent there.
    for (const Device &d : dfuDevices()) {
        if (d.location == device_.location)
            dfuBefore << d.busAddress;
    }
    oldVersion_ = v.answered && v.version.isEmpty() ? QStringLiteral("(not reported)") : v.version;
    if (!v.answered) {
        oldVersion_ = QStringLiteral("?");
        fail(v.opened ? QStringLiteral("does not answer in application mode; replug it and try again")
                      : DfuLink::openProblem(DfuLink::NoDescriptor));
    } else if (!enterDfuMode(device_)) {
        fail(QStringLiteral("refused to enter DFU mode"));
    } else if (noted) {
        noted(QStringLiteral("entering DFU mode"));
    }
}

bool Session::stillTheBoard(const Device &here)
{
    // A board's own serial is the proof where it has one; its boot loader's where the history
    // knows which one this board's shows.
    bool other = false;
    QString why;
    if (here.dfuMode()) {
        // Asked of the history once a session: it does not change while the board restarts.
        if (!expectedBootSerial)
            expectedBootSerial = settings.bootSerialOf && !identity_.serial.isEmpty()
                                     ? settings.bootSerialOf(identity_.serial)
                                     : QString();
        const QString &expected = *expectedBootSerial;
        const QString shown = here.serial.isEmpty() ? QStringLiteral("none") : here.serial;
        if (dfuBefore.contains(here.busAddress)) {
            other = true;
            why = QStringLiteral("a board was in DFU mode there before this one left");
        } else if (!expected.isEmpty() && here.serial != expected) {
            other = true;
            why = QStringLiteral("its boot loader reports serial %1, where %2's always reported %3")
                      .arg(shown, identity_.serial, expected);
        }
    } else if (!identity_.serial.isEmpty() && here.serial != identity_.serial) {
        other = true;
        why = QStringLiteral("serial %1, not %2")
                  .arg(here.serial.isEmpty() ? QStringLiteral("unknown") : here.serial, identity_.serial);
    }
    if (!other)
        return true;
    end(Result::Replaced,
        QStringLiteral("another board came back at %1 (%2); it was not touched").arg(identity_.location, why));
    return false;
}

void Session::prepare(const Device &inDfu)
{
    if (fromApplication && !stillTheBoard(inDfu))
        return;
    identity_.bootProduct = inDfu.product;
    identity_.bootSerial = inDfu.serial;
    // From here on the board is the DFU-mode device, with the name its boot loader reports.
    const QString location = device_.location;
    device_.mode = Device::Dfu;
    device_.path = inDfu.path;
    device_.busAddress = inDfu.busAddress;
    device_.product = inDfu.product;
    device_.serial = inDfu.serial;
    device_.location = location;
    DfuLink::Settings linkSettings;
    linkSettings.otherUsbIds =
        settings.force ? DfuLink::Settings::OtherUsbIds::Warn : DfuLink::Settings::OtherUsbIds::Refuse;
    link = std::make_unique<DfuLink>(linkSettings);
    const DfuLink::Open opened = link->open(device_.path, device_.busAddress, device_.product);
    if (!opened.connected()) {
        fail(opened.outcome.message());
        return;
    }
    details_.dfuPath = device_.path;
    details_.transferSize = link->transferSize();
    details_.permittedName = permittedImageName(settings.names, device_.product);
    const DfuLink::Download how = settings.dryRun ? DfuLink::Download::CompareOnly
                                  : settings.full ? DfuLink::Download::Full
                                                  : DfuLink::Download::Changed;
    if (!settings.file) {
        fail(QStringLiteral("no file to write"));
        return;
    }
    const int alternate = settings.alternate.isEmpty() ? -1 : link->alternateIndex(settings.alternate);
    DfuLink::Launch l;
    if (alternate < 0 && !settings.alternate.isEmpty()) {
        l.outcome = Outcome::refused(QStringLiteral("the board has no alternate %1").arg(settings.alternate));
    } else if (!settings.backupOf.isEmpty() && identity_.serial.isEmpty()) {
        // An unsigned backup is restored to the board it came from, and to no other: a board
        // whose own serial is not known (a boot serial may be shared) is no such board.
        l.outcome = Outcome::refused(
            QStringLiteral("the file is a backup of %1, and this board's own serial is not known (its boot "
                           "loader's, %2, may be shared); a file for it must be signed")
                .arg(settings.backupOf.join(QStringLiteral(", ")),
                    identity_.bootSerial.isEmpty() ? QStringLiteral("none") : identity_.bootSerial));
    } else if (!settings.backupOf.isEmpty() && !settings.backupOf.contains(identity_.serial)) {
        l.outcome = Outcome::refused(
            QStringLiteral("the file is a backup of %1, not of this board (%2); a file for it must be signed")
                .arg(settings.backupOf.join(QStringLiteral(", ")), identity_.serial));
    } else if (settings.verify) {
        l = link->launchVerify(*settings.file, details_.permittedName, alternate);
    } else {
        l = link->launchDownload(*settings.file, details_.permittedName, how, alternate);
    }
    details_.imageName = link->imageName();
    if (l.launched()) {
        if (!l.note.isEmpty() && noted)
            noted(l.note);
        const QString partial = settings.restoresBackup && !settings.verify ? partialSectors(alternate) : QString();
        if (!partial.isEmpty() && noted)
            noted(partial);
        step = settings.verify ? Step::Verify : settings.dryRun ? Step::Compare : Step::Download;
        return;
    }
    if (l.reason == DfuLink::Launch::NotReadable) {
        compared = QStringLiteral("cannot be read back: ") + l.outcome.message();
        comparedResult = Result::Unreadable;
        finishCompared();
        return;
    }
    if (l.outcome.kind() == Outcome::Kind::Failed) {
        fail(l.outcome.message());
        return;
    }
    if (l.reason == DfuLink::Launch::OtherUsbIds && !settings.station)
        l.outcome = l.outcome.followedBy(QStringLiteral(" (--force writes it all the same)"));
    // Refused in DFU mode: a board that came from its application goes back there.
    if (fromApplication) {
        refusal = l.outcome.message();
        startReturn(Step::ReturnRefused);
        return;
    }
    end(Result::Refused, QStringLiteral("refused: ") + l.outcome.message() + QStringLiteral("; nothing erased"));
}

QString Session::partialSectors(int alternate) const
{
    const QStringList cut = link->partlyCoveredSectors(*settings.file, alternate);
    if (cut.isEmpty())
        return QString();
    return QStringLiteral("the backup holds %1, which covers part of the sectors it touches: they are erased whole, "
                          "and the bytes around it there are lost")
        .arg(cut.join(QStringLiteral(", ")));
}

QString Session::again() const
{
    return settings.station ? QStringLiteral("plug it in again to finish it")
                            : QStringLiteral("run the same update again to finish it");
}

void Session::endRefused(const QString &how)
{
    end(Result::Refused, QStringLiteral("refused: ") + refusal + QStringLiteral("; ") + how);
}

void Session::finishCompared()
{
    // Nothing was changed: back to its application, unless it is to stay.
    if (!settings.stay)
        startReturn(Step::Return);
    else
        end(comparedResult, compared);
}

void Session::startReturn(Step next)
{
    const DfuLink::Launch l = link->launchReturn();
    if (l.launched()) {
        step = next;
        return;
    }
    if (next == Step::ReturnRefused)
        end(Result::Refused, QStringLiteral("refused: ") + refusal
                                 + QStringLiteral("; nothing erased, but it stays in DFU mode: ")
                                 + l.outcome.message());
    else
        returnFailed(l.outcome.message());
}

void Session::returnFailed(const QString &why)
{
    // A board that cannot be read back often cannot be sent back either (a read-protected one
    // refuses every command): what it is stays the news.
    if (settings.verify && comparedResult == Result::Unreadable)
        end(Result::Unreadable, compared + QStringLiteral("; it stays in DFU mode (") + why + QLatin1Char(')'));
    else if (settings.verify || settings.dryRun)
        fail(QStringLiteral("compared, but it did not return to its application: ") + why);
    else
        fail(QStringLiteral("written and verified, but it did not return to its application: ") + why);
}

bool Session::operationDone(const QString &phaseName)
{
    const DfuLink::Poll p = link->poll();
    const DfuProgress &c = p.progress;
    const bool done = p.state == DfuLink::Poll::Done;
    if (c.sectorsTouched) {
        details_.sectorsTouched = c.sectorsTouched;
        details_.sectorsKept = c.sectorsKept;
    }
    if (step == Step::Compare)
        comparedBytes = c.bytesTotal;
    if (c.phase == DfuProgress::Phase::Verify || (done && step == Step::Download))
        details_.bytesVerified = c.bytesDone;
    Progress progress;
    // A download names its phase as the library reports it, and counts that phase's bytes.
    progress.phase = !phaseName.isEmpty() ? phaseName : phaseText(c.phase);
    progress.done = c.bytesDone;
    progress.total = c.bytesTotal;
    progress.percent = done || (c.bytesTotal > 0 && c.bytesDone >= c.bytesTotal) ? 100
                       : c.bytesTotal > 0 ? int(quint64(c.bytesDone) * 100 / c.bytesTotal)
                                          : int(c.percent);
    progress.elapsedMs = c.elapsedMs;
    if (p.state == DfuLink::Poll::Failed) {
        const QString what = QStringLiteral("%1 failed: %2").arg(progress.phase, p.message);
        if (step == Step::Download && !stillThere())
            end(Result::Pulled,
                QStringLiteral("pulled during the %1: it may be half-written; %2").arg(progress.phase, again()));
        else if (step == Step::Download)
            fail(what + QStringLiteral("; the device stays in DFU mode: ") + again());
        else if (step == Step::ReturnRefused)
            endRefused(QStringLiteral("nothing erased, but it stays in DFU mode: ") + what);
        else
            returnFailed(what);
        return false;
    }
    if (progressed && step != Step::ReturnRefused)
        progressed(progress);
    return done;
}

void Session::advance()
{
    switch (step) {
    case Step::Start:
        start();
        break;
    case Step::WaitDfu:
        if (auto d = deviceAt(dfuDevices(), device_.location); d && !dfuBefore.contains(d->busAddress))
            prepare(*d);
        else if (d && fromApplication)
            stillTheBoard(*d);
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
        compared = QStringLiteral("%5would erase and write %1 of %2 sectors (%3 KiB), about %4 s")
                       .arg(differing)
                       .arg(details_.sectorsTouched)
                       .arg(details_.differingBytes / 1024)
                       .arg(details_.estimatedSeconds, 0, 'f', 1)
                       .arg(details_.sectorsTouched && !differing ? QStringLiteral("already up to date: ") : QString());
        // Sent here only to compare: back to its application, unchanged.
        if (fromApplication && !settings.stay)
            startReturn(Step::Return);
        else
            end(Result::Done, compared);
        break;
    }
    case Step::Verify: {
        const DfuLink::Poll p = link->poll();
        if (p.state == DfuLink::Poll::Running) {
            if (progressed)
                progressed({QStringLiteral("read"), p.progress.percent, p.progress.bytesDone, p.progress.bytesTotal,
                    p.progress.elapsedMs});
            break;
        }
        if (p.state == DfuLink::Poll::Failed) {
            // The board said no to the read (a protected memory stalls or errs): it cannot be
            // read back. Anything else is a failure of the road.
            if (p.progress.failure != DfuProgress::Failure::BoardSaidNo) {
                fail(QStringLiteral("read failed: %1; the device stays in DFU mode").arg(p.message));
                break;
            }
            compared = QStringLiteral("cannot be read back: ") + p.message;
            comparedResult = Result::Unreadable;
        } else {
            details_.differences = link->differences(&details_.bytesCompared);
            QStringList ranges;
            for (const auto &d : details_.differences)
                ranges << QStringLiteral("0x%1-0x%2")
                              .arg(d.first, 8, 16, QLatin1Char('0'))
                              .arg(d.second, 8, 16, QLatin1Char('0'));
            compared = details_.differences.isEmpty()
                           ? QStringLiteral("identical (%1 bytes compared)").arg(details_.bytesCompared)
                           : QStringLiteral("differs at %1").arg(ranges.join(QStringLiteral(", ")));
            comparedResult = details_.differences.isEmpty() ? Result::Done : Result::Differs;
        }
        finishCompared();
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
        // Not over until it is back: a board restarting is still the board, not an unplug.
        if (operationDone(QStringLiteral("return"))) {
            step = Step::WaitAppRefused;
            waiting.restart();
        }
        break;
    case Step::WaitAppRefused:
        if (deviceAt(appDevices(), device_.location))
            endRefused(QStringLiteral("nothing erased, and it was sent back to its application"));
        else if (waiting.elapsed() > settings.arrivalTimeoutMs)
            endRefused(QStringLiteral("nothing erased; it was sent back, but did not come back in its application in "
                                      "time"));
        break;
    case Step::WaitApp:
        if (auto d = deviceAt(appDevices(), device_.location)) {
            if (!stillTheBoard(*d))
                break;
            const VersionAnswer v = queryVersion(*d);
            if (!v.answered) {
                // Not done: nothing says the board runs what was written.
                fail(QStringLiteral("written and verified, but back in its application it does not answer"));
                break;
            }
            if (identity_.serial.isEmpty()) {
                identity_.serial = d->serial;
                identity_.product = d->product;
            }
            newVersion_ = v.version;
            if (settings.verify)
                end(comparedResult, compared);
            else if (settings.dryRun)
                end(Result::Done, compared);
            else
                end(Result::Done, QString());
        } else if (waiting.elapsed() > settings.arrivalTimeoutMs) {
            end(Result::Missing, settings.dryRun || settings.verify
                                     ? QStringLiteral("compared, but it did not come back in its "
                                                      "application in time; replug it")
                                     : QStringLiteral("written and verified, but it did not come back in "
                                                      "its application in time; replug it"));
        }
        break;
    case Step::Over:
        break;
    }
}

bool Session::stillThere() const
{
    const QList<Device> present = dfuDevices();
    return std::any_of(present.begin(), present.end(),
        [&](const Device &d) { return d.location == device_.location && d.busAddress == device_.busAddress; });
}

void Session::refuse(const QString &why)
{
    if (step == Step::Start)
        end(Result::Refused, QStringLiteral("refused: ") + why + QStringLiteral("; nothing was changed"));
}

void Session::pulled(const QString &why)
{
    if (!over())
        end(Result::Pulled, why);
}

void Session::continues(const Session &earlier)
{
    rowId = earlier.rowId;
    started = earlier.started;
    if (identity_.serial.isEmpty())
        identity_.serial = earlier.identity_.serial;
    if (identity_.product.isEmpty())
        identity_.product = earlier.identity_.product;
    if (oldVersion_ == QLatin1String("?"))
        oldVersion_ = earlier.oldVersion_;
}

void Session::interrupt()
{
    if (over())
        return;
    const bool inDfu = step != Step::WaitApp && step != Step::WaitAppRefused && step != Step::Start;
    end(Result::Interrupted, inDfu ? QStringLiteral("interrupted; the device stays in DFU mode: ") + again()
                                   : QStringLiteral("interrupted while it restarts"));
}

} // namespace update
