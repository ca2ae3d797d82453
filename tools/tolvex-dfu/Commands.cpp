// The commands of tolvex-dfu: options in, output out, and in between the update road of
// update/ (devices, selection, sessions), never the DFU library's calls themselves.

#include "Commands.h"

#include "Devices.h"
#include "DfuWork.h"
#include "Files.h"
#include "History.h"
#include "Output.h"
#include "Session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QMap>
#include <QThread>

#include <algorithm>
#include <memory>

namespace cli {

namespace {

constexpr int PollMs = 20;

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

const char *resultOfExit(int exit)
{
    switch (exit) {
    case ExitDone: return "done";
    case ExitUsage: return "usage";
    case ExitRefused: return "refused";
    case ExitNoDevice: return "missing";
    case ExitInterrupted: return "interrupted";
    default: return "failed";
    }
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
bool finish(update::DfuWork &work, const QString &phase, Output &out, const Io &io, bool &stopped, QString &message)
{
    stopped = false;
    for (;;) {
        const update::DfuWork::Poll p = work.poll();
        if (p.state == update::DfuWork::Poll::Failed) {
            message = QStringLiteral("%1 failed: %2").arg(phase, p.message);
            return false;
        }
        out.progress(work.device().location, phase, p.state == update::DfuWork::Poll::Done ? 100 : p.percent, p.done,
                     p.total, p.elapsedMs);
        if (p.state == update::DfuWork::Poll::Done) {
            out.finished(work.device().location);
            return true;
        }
        if (interrupted(io)) {
            work.stop();
            stopped = true;
            return false;
        }
        QThread::msleep(PollMs);
    }
}

QString elided(const QString &text, int width)
{
    return text.size() <= width ? text : text.left(width - 3) + QStringLiteral("...");
}

// The settings of a road over the one FILE given: Config.ini read, and the file checked as far
// as it can be before any board is touched. False with the outcome said and `exit` set.
bool prepareRoad(const Options &o, const Io &io, Output &out, const char *command, update::Session::Settings &settings,
                 update::FileCheck &checked, int &exit)
{
    if (o.positional.size() != 1) {
        exit = ends(out, ExitUsage, QStringLiteral("%1 takes one FILE.dfu").arg(QLatin1String(command)));
        return false;
    }
    settings.file = o.positional.first();
    settings.full = o.full;
    settings.arrivalTimeoutMs = io.arrivalTimeoutMs;
    QString error;
    if (!update::loadConfiguration(o.config, settings.names, error)) {
        exit = ends(out, ExitRefused, error);
        return false;
    }
    checked = update::checkFile(settings.file, settings.names);
    if (!checked.ok) {
        exit = ends(out, ExitRefused, checked.message + QStringLiteral("; no device was touched"));
        return false;
    }
    return true;
}

} // namespace

int list(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    ImageNameList names;
    QString configError;
    const bool haveConfig = update::loadConfiguration(o.config, names, configError);
    QJsonArray appJson, dfuJson;
    QStringList lines;
    lines << QStringLiteral("Application mode:");
    const QList<update::Device> apps = update::appDevices();
    for (const update::Device &d : apps) {
        if (interrupted(io))
            return ends(out, ExitInterrupted, QStringLiteral("interrupted"));
        const update::VersionAnswer v = update::queryVersion(d);
        const bool shortFrames = d.family == HidFamily::ShortFrames;
        const QString family = shortFrames ? QStringLiteral("8-byte reports") : QStringLiteral("16/64-byte reports");
        const QString shown = v.answered ? (v.version.isEmpty() ? QStringLiteral("(not reported)") : v.version)
                                         : QStringLiteral("(no answer)");
        lines << QStringLiteral("  %1  \"%2\"  %3  firmware %4").arg(d.location, d.product, family, shown);
        appJson.append(QJsonObject{{QStringLiteral("device"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("serial"), known(d.serial)},
                                   {QStringLiteral("usb"), QStringLiteral("%1:%2")
                                                               .arg(d.vendorId, 4, 16, QLatin1Char('0'))
                                                               .arg(d.productId, 4, 16, QLatin1Char('0'))},
                                   {QStringLiteral("family"), shortFrames ? QStringLiteral("8-byte")
                                                                          : QStringLiteral("16/64-byte")},
                                   {QStringLiteral("answered"), v.answered},
                                   {QStringLiteral("version"), known(v.version)}});
    }
    if (apps.isEmpty())
        lines << QStringLiteral("  none");
    lines << QStringLiteral("DFU mode:");
    const QList<update::Device> dfus = update::dfuDevices();
    for (const update::Device &d : dfus) {
        if (interrupted(io))
            return ends(out, ExitInterrupted, QStringLiteral("interrupted"));
        const QString permitted = haveConfig ? permittedImageName(names, d.product) : QString();
        const QString permission = !haveConfig ? QStringLiteral("(no Config.ini)")
                                   : permitted.isEmpty() ? QStringLiteral("not listed in Config.ini")
                                                         : QStringLiteral("permitted image \"%1\"").arg(permitted);
        lines << QStringLiteral("  %1  \"%2\"  serial %3  %4")
                     .arg(d.location, d.product, d.serial.isEmpty() ? QStringLiteral("-") : d.serial, permission);
        update::DfuWork work;
        QString why;
        QJsonArray alternates;
        if (work.open(d, why)) {
            for (const update::DfuWork::Alternate &a : work.alternates()) {
                lines << QStringLiteral("      alternate %1 \"%2\" %3").arg(a.number).arg(a.name, a.layout);
                alternates.append(QJsonObject{{QStringLiteral("alternate"), a.number},
                                              {QStringLiteral("name"), a.name},
                                              {QStringLiteral("layout"), a.layout}});
            }
        } else {
            lines << QStringLiteral("      ") + why;
        }
        dfuJson.append(QJsonObject{{QStringLiteral("device"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("serial"), known(d.serial)},
                                   {QStringLiteral("usb"), QStringLiteral("%1:%2")
                                                               .arg(d.vendorId, 4, 16, QLatin1Char('0'))
                                                               .arg(d.productId, 4, 16, QLatin1Char('0'))},
                                   {QStringLiteral("permitted"), known(permitted)},
                                   {QStringLiteral("alternates"), alternates}});
    }
    if (dfus.isEmpty())
        lines << QStringLiteral("  none");
    if (o.json)
        out.event({{QStringLiteral("event"), QStringLiteral("list")},
                   {QStringLiteral("application"), appJson},
                   {QStringLiteral("dfu"), dfuJson},
                   {QStringLiteral("config"), haveConfig ? QJsonValue(o.config) : QJsonValue()}});
    else
        io.out(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    if (!haveConfig)
        out.problem(configError);
    return ExitDone;
}

int update(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    update::Session::Settings settings;
    update::FileCheck checked;
    int failure = ExitDone;
    if (!prepareRoad(o, io, out, "update", settings, checked, failure))
        return failure;
    settings.force = o.force;
    settings.stay = o.stay;
    settings.dryRun = o.dryRun;
    out.note(QStringLiteral("%1: %2").arg(QFileInfo(settings.file).fileName(), checked.signature));
    int exit = ExitDone;
    const QList<update::Device> chosen =
        choose([] { return update::appDevices() + update::dfuDevices(); }, o, out, io, exit);
    if (chosen.isEmpty())
        return exit;
    update::waitOutPollTimeouts(o.strictTiming);
    // A dry run changes nothing, and leaves no trace either.
    update::History history(o.noHistory || o.dryRun ? QString() : o.history.value_or(update::History::defaultPath()));
    const QString sha = history.isOpen() ? update::fileSha256(settings.file) : QString();
    QMap<const update::Session *, qint64> rows;

    QList<std::shared_ptr<update::Session>> sessions;
    for (const update::Device &d : chosen) {
        auto session = std::make_shared<update::Session>(d, settings);
        const QString name = d.name();
        session->problem = [&out, name](const QString &text) { out.problem(name + QStringLiteral(": ") + text); };
        session->noted = [&out, name](const QString &text) { out.note(name + QStringLiteral(": ") + text); };
        session->progressed = [&out, d](const update::Session::Progress &p) {
            out.progress(d.location, p.phase, p.percent, p.done, p.total, p.elapsedMs);
        };
        sessions.append(session);
        rows.insert(session.get(), history.begin(update::historyRecord(*session, QStringLiteral("tolvex-dfu"),
                                                                        settings.file, sha)));
        session->start();
    }
    bool stopped = false;
    for (;;) {
        bool running = false;
        for (const auto &session : sessions) {
            if (session->over())
                continue;
            if (interrupted(io)) {
                session->interrupt();
                stopped = true;
                continue;
            }
            session->advance();
            if (session->over())
                out.finished(session->device().location);
            if (session->over())
                history.finish(rows.value(session.get()),
                               update::historyRecord(*session, QStringLiteral("tolvex-dfu"), settings.file, sha));
            running = running || !session->over();
        }
        if (!running)
            break;
        QCoreApplication::processEvents();
        QThread::msleep(PollMs);
    }
    update::waitOutPollTimeouts(false);
    // Sessions that ended without a step of the loop (at their start, or interrupted).
    for (const auto &session : sessions) {
        const update::History::Record r =
            update::historyRecord(*session, QStringLiteral("tolvex-dfu"), settings.file, sha);
        if (session->result() == update::Session::Result::Interrupted || r.ended.isValid())
            history.finish(rows.value(session.get()), r);
    }

    // The result of each device, and for several a table.
    QList<int> codes;
    for (const auto &s : sessions) {
        const int code = exitOf(s->result());
        codes << code;
        const update::Session::Details &d = s->details();
        const QString name = s->device().name();
        if (o.verbose && !d.dfuPath.isEmpty())
            out.note(QStringLiteral("%1: %2, transfer size %3 bytes, %4, image \"%5\", %6 of %7 sectors kept")
                         .arg(name, d.dfuPath)
                         .arg(d.transferSize)
                         .arg(o.strictTiming ? QStringLiteral("every poll timeout waited out")
                                             : QStringLiteral("early status requests"))
                         .arg(d.imageName)
                         .arg(d.sectorsKept)
                         .arg(d.sectorsTouched));
        if (out.jsonOutput()) {
            QJsonObject result{{QStringLiteral("event"), QStringLiteral("result")},
                               {QStringLiteral("device"), s->device().location},
                               {QStringLiteral("product"), s->device().product},
                               {QStringLiteral("serial"), known(s->device().serial)},
                               {QStringLiteral("old"), known(s->oldVersion())},
                               {QStringLiteral("new"), known(s->newVersion())},
                               {QStringLiteral("result"), QString::fromLatin1(update::resultName(s->result()))},
                               {QStringLiteral("message"), s->message()},
                               {QStringLiteral("signature"), checked.signature},
                               {QStringLiteral("seconds"), double(s->elapsedMs()) / 1000.0},
                               {QStringLiteral("exit"), code}};
            if (o.dryRun) {
                result.insert(QStringLiteral("dryRun"), true);
                result.insert(QStringLiteral("image"), known(d.imageName));
                result.insert(QStringLiteral("permitted"), known(d.permittedName));
                result.insert(QStringLiteral("sectorsToWrite"),
                              d.sectorsTouched ? QJsonValue(d.sectorsTouched - d.sectorsKept) : QJsonValue());
                result.insert(QStringLiteral("estimatedSeconds"),
                              d.sectorsTouched ? QJsonValue(d.estimatedSeconds) : QJsonValue());
            }
            out.event(result);
        } else if (o.dryRun && s->result() == update::Session::Result::Done) {
            out.line(QStringLiteral("%1: firmware %2; image \"%3\", permitted \"%4\"; %5")
                         .arg(name, s->oldVersion() == QLatin1String("?") ? QStringLiteral("(not known in DFU mode)") : s->oldVersion(),
                              d.imageName.isEmpty() ? QStringLiteral("(chosen in DFU mode)") : d.imageName,
                              d.permittedName, s->message()));
        } else if (s->result() == update::Session::Result::Done && sessions.size() == 1) {
            out.line(o.stay ? QStringLiteral("%1: %2").arg(name, s->message())
                            : QStringLiteral("%1: %2 -> %3%4")
                                  .arg(name, s->oldVersion(),
                                       s->newVersion().isEmpty() ? QStringLiteral("(not reported)") : s->newVersion(),
                                       s->message().isEmpty() ? QString() : QStringLiteral(" (") + s->message() + ")"));
        } else if (s->result() == update::Session::Result::Interrupted) {
            out.problem(name + QStringLiteral(": ") + s->message());
        }
    }
    if (sessions.size() > 1 && !out.jsonOutput()) {
        // As wide as the terminal allows, 80 columns otherwise.
        const int deviceWidth = std::max(20, std::min(40, io.columns - 1 - 42));
        out.line(QStringLiteral("%1 %2 %3 %4 %5").arg(QStringLiteral("DEVICE"), -deviceWidth).arg(QStringLiteral("OLD"), -10)
                     .arg(QStringLiteral("NEW"), -10).arg(QStringLiteral("RESULT"), -11).arg(QStringLiteral("TIME"), 7));
        for (const auto &s : sessions)
            out.line(QStringLiteral("%1 %2 %3 %4 %5")
                         .arg(elided(s->device().name(), deviceWidth), -deviceWidth)
                         .arg(elided(s->oldVersion(), 10), -10)
                         .arg(elided(s->newVersion().isEmpty() ? QStringLiteral("-") : s->newVersion(), 10), -10)
                         .arg(QString::fromLatin1(update::resultName(s->result())), -11)
                         .arg(QStringLiteral("%1 s").arg(double(s->elapsedMs()) / 1000.0, 0, 'f', 1), 7));
    }
    return stopped ? int(ExitInterrupted) : worstExit(codes);
}

int upload(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    if (o.positional.size() != 1 || o.all)
        return ends(out, ExitUsage, QStringLiteral("upload takes one OUT.dfu and one device"));
    const QString path = o.positional.first();
    // Another file of the same name is not replaced unasked: it may be the only backup.
    if (QFileInfo::exists(path) && !o.force)
        return ends(out, ExitRefused, QStringLiteral("%1 exists; --force replaces it").arg(path));
    int exit = ExitDone;
    const QList<update::Device> chosen =
        choose([] { return update::appDevices() + update::dfuDevices(); }, o, out, io, exit);
    if (chosen.isEmpty())
        return exit;
    const update::Device d = chosen.first();
    if (!d.dfuMode())
        return endsOn(out, d, ExitNoDevice, QStringLiteral("in application mode; tolvex-dfu enter-dfu sends it into DFU "
                                                           "mode first"));
    update::DfuWork work;
    QString why;
    if (!work.open(d, why))
        return endsOn(out, d, ExitFailed, why);
    // A folder that cannot be written is known before the long read.
    if (!QFileInfo(QFileInfo(path).absolutePath()).isWritable())
        return endsOn(out, d, ExitFailed, QStringLiteral("cannot write in the folder of %1").arg(path));
    // A backup that can be written back: its image bears the name Config.ini permits.
    ImageNameList names;
    QString configError;
    const QString permitted =
        update::loadConfiguration(o.config, names, configError) ? permittedImageName(names, d.product) : QString();
    if (permitted.isEmpty())
        out.note(QStringLiteral("%1: Config.ini permits no image for \"%2\": the image is named after its memory, and "
                                "updates will refuse it")
                     .arg(d.name(), d.product));
    const update::DfuWork::Launch l = work.launchUpload(permitted);
    if (l.result != update::DfuWork::Launch::Launched)
        return endsOn(out, d, ExitFailed, l.message);
    bool stopped = false;
    if (!finish(work, QStringLiteral("read"), out, io, stopped, why)) {
        return stopped ? endsOn(out, d, ExitInterrupted, QStringLiteral("interrupted; nothing was written"))
                       : endsOn(out, d, ExitFailed, why);
    }
    if (!work.writeUpload(path, why))
        return endsOn(out, d, ExitFailed, why);
    if (o.json)
        out.event({{QStringLiteral("event"), QStringLiteral("result")},
                   {QStringLiteral("device"), d.location},
                   {QStringLiteral("serial"), known(d.serial)},
                   {QStringLiteral("result"), QStringLiteral("done")},
                   {QStringLiteral("message"), QStringLiteral("memory of \"%1\" written").arg(work.memoryName())},
                   {QStringLiteral("file"), path},
                   {QStringLiteral("image"), known(permitted)},
                   {QStringLiteral("exit"), int(ExitDone)}});
    else
        out.line(QStringLiteral("%1: memory of \"%2\" written to %3").arg(d.name(), work.memoryName(), path));
    return ExitDone;
}

int changeMode(const Options &o, const Io &io, bool toDfu)
{
    Output out(io, o.json, o.quiet);
    if (!o.positional.isEmpty())
        return ends(out, ExitUsage, QStringLiteral("unexpected argument %1").arg(o.positional.first()));
    int exit = ExitDone;
    const QList<update::Device> chosen =
        choose([toDfu] { return toDfu ? update::appDevices() : update::dfuDevices(); }, o, out, io, exit);
    if (chosen.isEmpty())
        return exit;
    QList<int> codes;
    for (const update::Device &d : chosen) {
        bool sent = false;
        QString why;
        if (toDfu) {
            sent = update::enterDfuMode(d);
        } else {
            update::DfuWork work;
            bool stopped = false;
            sent = work.open(d, why) && work.launchReturn().result == update::DfuWork::Launch::Launched
                   && finish(work, QStringLiteral("return"), out, io, stopped, why);
            if (stopped)
                return endsOn(out, d, ExitInterrupted, QStringLiteral("interrupted; it stays in DFU mode"));
        }
        if (!sent) {
            codes << endsOn(out, d, ExitFailed,
                            toDfu ? QStringLiteral("refused to enter DFU mode")
                                  : QStringLiteral("could not be sent back to its application") +
                                        (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
            continue;
        }
        const update::Arrival arrived =
            update::waitForDevice(toDfu ? update::Device::Dfu : update::Device::Application, d.location,
                                  io.arrivalTimeoutMs, [&io] { return interrupted(io); }, idle);
        if (arrived.result == update::Arrival::Interrupted)
            return endsOn(out, d, ExitInterrupted, QStringLiteral("interrupted while it restarts"));
        if (arrived.result == update::Arrival::TimedOut) {
            codes << endsOn(out, d, ExitNoDevice, QStringLiteral("did not come back in time; replug it"));
            continue;
        }
        const QString version = toDfu ? QString() : update::queryVersion(arrived.device).version;
        if (o.json)
            out.event({{QStringLiteral("event"), QStringLiteral("result")},
                       {QStringLiteral("device"), d.location},
                       {QStringLiteral("serial"), known(d.serial)},
                       {QStringLiteral("mode"), toDfu ? QStringLiteral("dfu") : QStringLiteral("application")},
                       {QStringLiteral("version"), known(version)},
                       {QStringLiteral("result"), QStringLiteral("done")},
                       {QStringLiteral("message"), toDfu ? QStringLiteral("in DFU mode")
                                                         : QStringLiteral("back in its application")},
                       {QStringLiteral("exit"), int(ExitDone)}});
        else
            out.line(toDfu ? QStringLiteral("%1: in DFU mode").arg(d.name())
                           : QStringLiteral("%1: back in its application, firmware %2")
                                 .arg(d.name(), version.isEmpty() ? QStringLiteral("(not reported)") : version));
    }
    return worstExit(codes);
}

int station(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    update::Session::Settings settings;
    update::FileCheck checked;
    int failure = ExitDone;
    if (!prepareRoad(o, io, out, "station", settings, checked, failure))
        return failure;
    update::History history(o.noHistory ? QString() : o.history.value_or(update::History::defaultPath()));
    const QString sha = history.isOpen() ? update::fileSha256(settings.file) : QString();
    update::waitOutPollTimeouts(o.strictTiming);
    out.note(QStringLiteral("station: %1 (%2); plug boards in, Ctrl-C to stop")
                 .arg(QFileInfo(settings.file).fileName(), checked.signature));

    struct Place
    {
        std::shared_ptr<update::Session> session;
        qint64 row = -1;
        bool ended = false; // its board was dealt with; not again until it is unplugged
        int emptyLooks = 0;
    };
    QMap<QString, Place> places;
    int done = 0, upToDate = 0, failed = 0, ended = 0;
    const auto tally = [&] {
        const int running = int(std::count_if(places.begin(), places.end(), [](const Place &p) {
            return p.session && !p.session->over();
        }));
        return QStringLiteral("done %1, already up to date %2, failed %3, in progress %4")
            .arg(done)
            .arg(upToDate)
            .arg(failed)
            .arg(running);
    };
    const auto report = [&](const update::Session &s, const update::History::Record &r) {
        const bool current = r.result == QLatin1String("up to date");
        const bool good = s.result() == update::Session::Result::Done;
        // An interrupted board has not failed: the next plug-in finishes it.
        if (s.result() != update::Session::Result::Interrupted)
            (current ? upToDate : good ? done : failed) += 1;
        ++ended;
        if (out.jsonOutput()) {
            out.event({{QStringLiteral("event"), QStringLiteral("result")},
                       {QStringLiteral("device"), s.device().location},
                       {QStringLiteral("product"), s.device().product},
                       {QStringLiteral("serial"), known(s.device().serial)},
                       {QStringLiteral("old"), known(s.oldVersion())},
                       {QStringLiteral("new"), known(s.newVersion())},
                       {QStringLiteral("result"), current ? QStringLiteral("up to date")
                                                          : QString::fromLatin1(update::resultName(s.result()))},
                       {QStringLiteral("message"), s.message()},
                       {QStringLiteral("signature"), checked.signature},
                       {QStringLiteral("seconds"), double(s.elapsedMs()) / 1000.0},
                       {QStringLiteral("exit"), exitOf(s.result())}});
        } else {
            const QString what = current ? QStringLiteral("already up to date")
                                 : good  ? QStringLiteral("%1 -> %2").arg(s.oldVersion(), s.newVersion().isEmpty()
                                                                                              ? QStringLiteral("(not reported)")
                                                                                              : s.newVersion())
                                         : QString::fromLatin1(update::resultName(s.result())) + QStringLiteral(": ")
                                               + s.message();
            out.line(QStringLiteral("%1: %2 (%3 s)").arg(s.device().name(), what).arg(double(s.elapsedMs()) / 1000.0, 0, 'f', 1));
            out.note(tally());
        }
    };

    bool stopping = false;
    for (;;) {
        if (interrupted(io) && !stopping) {
            // No new boards; the running ones stop between two transfers.
            stopping = true;
            for (Place &p : places) {
                if (p.session && !p.session->over())
                    p.session->interrupt();
            }
        }
        const QList<update::Device> present = update::appDevices() + update::dfuDevices();
        for (auto it = places.begin(); it != places.end(); ++it) {
            Place &p = it.value();
            if (p.session && !p.session->over())
                continue;
            // A board is unplugged when its place stays empty on two looks in a row.
            const bool here = update::deviceAt(present, it.key()).has_value();
            p.emptyLooks = here ? 0 : p.emptyLooks + 1;
            if (p.emptyLooks >= 2 && p.ended)
                p = Place();
        }
        if (!stopping) {
            for (const update::Device &d : present) {
                const int running = int(std::count_if(places.begin(), places.end(), [](const Place &p) {
                    return p.session && !p.session->over();
                }));
                if (o.count > 0 && ended + running >= o.count)
                    break;
                Place &p = places[d.location];
                if (p.session || p.ended || d.location.isEmpty())
                    continue;
                p.session = std::make_shared<update::Session>(d, settings);
                const QString name = d.name();
                p.session->noted = [&out, name](const QString &text) { out.note(name + QStringLiteral(": ") + text); };
                p.session->progressed = [&out, d](const update::Session::Progress &pr) {
                    out.progress(d.location, pr.phase, pr.percent, pr.done, pr.total, pr.elapsedMs);
                };
                if (out.jsonOutput())
                    out.event({{QStringLiteral("event"), QStringLiteral("arrived")},
                               {QStringLiteral("device"), d.location},
                               {QStringLiteral("product"), d.product},
                               {QStringLiteral("serial"), known(d.serial)}});
                else
                    out.note(name + QStringLiteral(": arrived"));
                p.row = history.begin(update::historyRecord(*p.session, QStringLiteral("station"), settings.file, sha));
                p.session->start();
            }
        }
        bool running = false;
        for (Place &p : places) {
            if (!p.session || p.ended)
                continue;
            if (!p.session->over())
                p.session->advance();
            if (p.session->over()) {
                out.finished(p.session->device().location);
                const update::History::Record r =
                    update::historyRecord(*p.session, QStringLiteral("station"), settings.file, sha);
                history.finish(p.row, r);
                report(*p.session, r);
                p.ended = true;
            } else {
                running = true;
            }
        }
        if ((stopping || (o.count > 0 && ended >= o.count)) && !running)
            break;
        QCoreApplication::processEvents();
        QThread::msleep(PollMs);
    }
    update::waitOutPollTimeouts(false);
    if (out.jsonOutput())
        out.event({{QStringLiteral("event"), QStringLiteral("tally")},
                   {QStringLiteral("done"), done},
                   {QStringLiteral("upToDate"), upToDate},
                   {QStringLiteral("failed"), failed},
                   {QStringLiteral("exit"), stopping ? int(ExitInterrupted) : failed ? int(ExitFailed) : int(ExitDone)}});
    else
        out.line(QStringLiteral("station: ") + tally());
    return stopping ? int(ExitInterrupted) : failed ? int(ExitFailed) : int(ExitDone);
}

int history(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    if (!o.positional.isEmpty())
        return ends(out, ExitUsage, QStringLiteral("unexpected argument %1").arg(o.positional.first()));
    if (o.json && o.csv)
        return ends(out, ExitUsage, QStringLiteral("--json and --csv exclude each other"));
    QDateTime since;
    if (o.since) {
        since = QDateTime::fromString(*o.since, Qt::ISODate);
        if (!since.isValid())
            since = QDateTime(QDate::fromString(*o.since, Qt::ISODate), QTime(0, 0), Qt::UTC);
        if (!since.isValid())
            return ends(out, ExitUsage, QStringLiteral("--since takes a date or time such as 2026-12-01 or "
                                                       "2026-12-01T08:00:00Z"));
        if (since.timeSpec() == Qt::LocalTime && o.since->size() > 10)
            since.setTimeSpec(Qt::UTC);
    }
    const QString path = o.history.value_or(update::History::defaultPath());
    if (!QFileInfo::exists(path))
        return ends(out, ExitFailed, QStringLiteral("there is no history at %1").arg(path));
    const update::History history(path);
    if (!history.isOpen())
        return ends(out, ExitFailed, QStringLiteral("the history at %1 cannot be read").arg(path));
    const QList<update::History::Record> rows = history.rows(o.serial.value_or(QString()), since);
    const auto number = [](qint64 n) { return n < 0 ? QJsonValue() : QJsonValue(n); };
    if (o.json) {
        for (const update::History::Record &r : rows)
            out.event({{QStringLiteral("event"), QStringLiteral("history")},
                       {QStringLiteral("started"), r.started.toString(Qt::ISODateWithMs)},
                       {QStringLiteral("ended"), r.ended.isValid() ? QJsonValue(r.ended.toString(Qt::ISODateWithMs)) : QJsonValue()},
                       {QStringLiteral("program"), r.program},
                       {QStringLiteral("programVersion"), known(r.programVersion)},
                       {QStringLiteral("host"), known(r.host)},
                       {QStringLiteral("product"), known(r.product)},
                       {QStringLiteral("serial"), known(r.serial)},
                       {QStringLiteral("device"), known(r.location)},
                       {QStringLiteral("old"), known(r.versionBefore)},
                       {QStringLiteral("new"), known(r.versionAfter)},
                       {QStringLiteral("file"), known(r.file)},
                       {QStringLiteral("sha256"), known(r.fileSha256)},
                       {QStringLiteral("image"), known(r.imageName)},
                       {QStringLiteral("sectorsWritten"), number(r.sectorsWritten)},
                       {QStringLiteral("sectorsKept"), number(r.sectorsKept)},
                       {QStringLiteral("bytesVerified"), number(r.bytesVerified)},
                       {QStringLiteral("result"), r.result},
                       {QStringLiteral("message"), r.message},
                       {QStringLiteral("seconds"), r.seconds}});
        return ExitDone;
    }
    if (o.csv) {
        // RFC 4180: fields with a comma, a quote or a line break are quoted, quotes doubled.
        const auto field = [](QString text) {
            if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
                || text.contains(QLatin1Char('\r')))
                text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
            return text;
        };
        io.out(QStringLiteral("started,ended,program,program_version,host,product,serial,location,version_before,"
                              "version_after,file,file_sha256,image_name,sectors_written,sectors_kept,"
                              "bytes_verified,result,message,seconds\r\n"));
        for (const update::History::Record &r : rows) {
            const auto count = [](qint64 n) { return n < 0 ? QString() : QString::number(n); };
            QStringList f{r.started.toString(Qt::ISODateWithMs), r.ended.isValid() ? r.ended.toString(Qt::ISODateWithMs) : QString(),
                          r.program, r.programVersion, r.host, r.product, r.serial, r.location, r.versionBefore,
                          r.versionAfter, r.file, r.fileSha256, r.imageName, count(r.sectorsWritten),
                          count(r.sectorsKept), count(r.bytesVerified), r.result, r.message,
                          QString::number(r.seconds, 'f', 3)};
            for (QString &x : f)
                x = field(x);
            io.out(f.join(QLatin1Char(',')) + QStringLiteral("\r\n"));
        }
        return ExitDone;
    }
    out.line(QStringLiteral("%1 %2 %3 %4 %5 %6").arg(QStringLiteral("STARTED (UTC)"), -20).arg(QStringLiteral("SERIAL"), -12)
                 .arg(QStringLiteral("PRODUCT"), -18).arg(QStringLiteral("VERSIONS"), -14).arg(QStringLiteral("RESULT"), -11)
                 .arg(QStringLiteral("PROGRAM")));
    for (const update::History::Record &r : rows)
        out.line(QStringLiteral("%1 %2 %3 %4 %5 %6")
                     .arg(r.started.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), -20)
                     .arg(elided(r.serial.isEmpty() ? QStringLiteral("-") : r.serial, 12), -12)
                     .arg(elided(r.product, 18), -18)
                     .arg(elided(QStringLiteral("%1->%2").arg(r.versionBefore.isEmpty() ? QStringLiteral("?") : r.versionBefore,
                                                              r.versionAfter.isEmpty() ? QStringLiteral("?") : r.versionAfter),
                                 14),
                          -14)
                     .arg(r.result, -11)
                     .arg(r.program));
    return ExitDone;
}

} // namespace cli
