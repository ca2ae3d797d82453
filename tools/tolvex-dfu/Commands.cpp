// The commands of tolvex-dfu: options in, output out, and in between the update road of
// update/ (devices, selection, sessions), never the DFU library's calls themselves.

#include "Commands.h"

#include "Devices.h"
#include "DfuWork.h"
#include "Files.h"
#include "Output.h"
#include "Session.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QThread>

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

// The devices a command works on; empty with the reason said and `exit` set.
QList<update::Device> choose(const QList<update::Device> &present, const Options &o, Output &out, int &exit)
{
    const update::Selected s = update::select(present, o.selection());
    exit = exitOf(s.result);
    if (s.result != update::Selected::Chosen)
        out.problem(s.message);
    return s.devices;
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
// well; false when it failed (said) or was interrupted (`stopped` set).
bool finish(update::DfuWork &work, const QString &phase, const QString &name, Output &out, const Io &io, bool &stopped)
{
    stopped = false;
    for (;;) {
        const update::DfuWork::Poll p = work.poll();
        if (p.state == update::DfuWork::Poll::Failed) {
            out.problem(QStringLiteral("%1: %2 failed: %3").arg(name, phase, p.message));
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

} // namespace

int list(const Options &o, const Io &io)
{
    Output out(io, o.json);
    ImageNameList names;
    QString configError;
    const bool haveConfig = update::loadConfiguration(o.config, names, configError);
    QJsonArray appJson, dfuJson;
    QStringList lines;
    lines << QStringLiteral("Application mode:");
    const QList<update::Device> apps = update::appDevices();
    for (const update::Device &d : apps) {
        if (interrupted(io))
            return ExitInterrupted;
        const update::VersionAnswer v = update::queryVersion(d);
        const bool shortFrames = d.family == HidFamily::ShortFrames;
        const QString family = shortFrames ? QStringLiteral("8-byte reports") : QStringLiteral("16/64-byte reports");
        const QString shown = v.answered ? (v.version.isEmpty() ? QStringLiteral("(not reported)") : v.version)
                                         : QStringLiteral("(no answer)");
        lines << QStringLiteral("  %1  \"%2\"  %3  firmware %4").arg(d.location, d.product, family, shown);
        appJson.append(QJsonObject{{QStringLiteral("where"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("family"), shortFrames ? QStringLiteral("8-byte")
                                                                          : QStringLiteral("16/64-byte")},
                                   {QStringLiteral("answered"), v.answered},
                                   {QStringLiteral("version"), v.version}});
    }
    if (apps.isEmpty())
        lines << QStringLiteral("  none");
    lines << QStringLiteral("DFU mode:");
    const QList<update::Device> dfus = update::dfuDevices();
    for (const update::Device &d : dfus) {
        if (interrupted(io))
            return ExitInterrupted;
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
        dfuJson.append(QJsonObject{{QStringLiteral("where"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("serial"), d.serial},
                                   {QStringLiteral("permitted"), permitted},
                                   {QStringLiteral("listed"), !permitted.isEmpty()},
                                   {QStringLiteral("alternates"), alternates}});
    }
    if (dfus.isEmpty())
        lines << QStringLiteral("  none");
    if (o.json)
        out.event({{QStringLiteral("application"), appJson}, {QStringLiteral("dfu"), dfuJson}});
    else
        io.out(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    if (!haveConfig && !o.json)
        out.problem(configError);
    return ExitDone;
}

int update(const Options &o, const Io &io)
{
    Output out(io, o.json);
    if (o.positional.size() != 1) {
        out.problem(QStringLiteral("update takes one FILE.dfu"));
        return ExitUsage;
    }
    update::Session::Settings settings;
    settings.file = o.positional.first();
    settings.full = o.full;
    settings.stay = o.stay;
    settings.arrivalTimeoutMs = io.arrivalTimeoutMs;
    QString error;
    if (!update::loadConfiguration(o.config, settings.names, error)) {
        out.problem(error);
        return ExitRefused;
    }
    // What can be checked is checked before any board is touched.
    const update::FileCheck checked = update::checkFile(settings.file, settings.names);
    if (!checked.ok) {
        out.problem(checked.message + QStringLiteral("; no device was touched"));
        return ExitRefused;
    }
    if (!out.jsonOutput())
        out.line(QStringLiteral("%1: %2").arg(QFileInfo(settings.file).fileName(), checked.signature));
    int exit = ExitDone;
    const QList<update::Device> chosen = choose(update::appDevices() + update::dfuDevices(), o, out, exit);
    if (chosen.isEmpty())
        return exit;
    update::waitOutPollTimeouts(o.strictTiming);

    QList<std::shared_ptr<update::Session>> sessions;
    for (const update::Device &d : chosen) {
        auto session = std::make_shared<update::Session>(d, settings);
        const QString name = d.name();
        session->problem = [&out, name](const QString &text) { out.problem(name + QStringLiteral(": ") + text); };
        session->noted = [&out, name](const QString &text) {
            if (!out.jsonOutput())
                out.line(name + QStringLiteral(": ") + text);
        };
        session->progressed = [&out, d](const update::Session::Progress &p) {
            out.progress(d.location, p.phase, p.percent, p.done, p.total, p.elapsedMs);
        };
        sessions.append(session);
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
            running = running || !session->over();
        }
        if (!running)
            break;
        QCoreApplication::processEvents();
        QThread::msleep(PollMs);
    }
    update::waitOutPollTimeouts(false);

    // The result of each device, and for several a table.
    QList<int> codes;
    for (const auto &s : sessions) {
        codes << exitOf(s->result());
        const QString name = s->device().name();
        const double seconds = double(s->elapsedMs()) / 1000.0;
        if (out.jsonOutput()) {
            out.event({{QStringLiteral("event"), QStringLiteral("result")},
                       {QStringLiteral("device"), s->device().location},
                       {QStringLiteral("product"), s->device().product},
                       {QStringLiteral("old"), s->oldVersion()},
                       {QStringLiteral("new"), s->newVersion()},
                       {QStringLiteral("result"), QString::fromLatin1(update::resultName(s->result()))},
                       {QStringLiteral("message"), s->message()},
                       {QStringLiteral("signature"), checked.signature},
                       {QStringLiteral("seconds"), seconds}});
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
        out.line(QStringLiteral("%1 %2 %3 %4 %5").arg(QStringLiteral("DEVICE"), -40).arg(QStringLiteral("OLD"), -10)
                     .arg(QStringLiteral("NEW"), -10).arg(QStringLiteral("RESULT"), -12).arg(QStringLiteral("TIME")));
        for (const auto &s : sessions)
            out.line(QStringLiteral("%1 %2 %3 %4 %5 s")
                         .arg(s->device().name(), -40)
                         .arg(s->oldVersion(), -10)
                         .arg(s->newVersion().isEmpty() ? QStringLiteral("-") : s->newVersion(), -10)
                         .arg(QString::fromLatin1(update::resultName(s->result())), -12)
                         .arg(double(s->elapsedMs()) / 1000.0, 0, 'f', 1));
    }
    return stopped ? int(ExitInterrupted) : worstExit(codes);
}

int upload(const Options &o, const Io &io)
{
    Output out(io, o.json);
    if (o.positional.size() != 1 || o.all) {
        out.problem(QStringLiteral("upload takes one OUT.dfu and one device"));
        return ExitUsage;
    }
    const QString path = o.positional.first();
    // Another file of the same name is not replaced unasked: it may be the only backup.
    if (QFileInfo::exists(path) && !o.force) {
        out.problem(QStringLiteral("%1 exists; --force replaces it").arg(path));
        return ExitRefused;
    }
    int exit = ExitDone;
    const QList<update::Device> chosen = choose(update::appDevices() + update::dfuDevices(), o, out, exit);
    if (chosen.isEmpty())
        return exit;
    const update::Device d = chosen.first();
    if (!d.dfuMode()) {
        out.problem(d.name() + QStringLiteral(": in application mode; tolvex-dfu enter-dfu sends it into DFU mode first"));
        return ExitNoDevice;
    }
    update::DfuWork work;
    QString why;
    if (!work.open(d, why)) {
        out.problem(d.name() + QStringLiteral(": ") + why);
        return ExitFailed;
    }
    // A folder that cannot be written is known before the long read.
    if (!QFileInfo(QFileInfo(path).absolutePath()).isWritable()) {
        out.problem(QStringLiteral("cannot write in the folder of %1").arg(path));
        return ExitFailed;
    }
    const update::DfuWork::Launch l = work.launchUpload();
    if (l.result != update::DfuWork::Launch::Launched) {
        out.problem(d.name() + QStringLiteral(": ") + l.message);
        return ExitFailed;
    }
    bool stopped = false;
    if (!finish(work, QStringLiteral("read"), d.name(), out, io, stopped)) {
        if (stopped)
            out.problem(d.name() + QStringLiteral(": interrupted; nothing was written"));
        return stopped ? int(ExitInterrupted) : int(ExitFailed);
    }
    if (!work.writeUpload(path, why)) {
        out.problem(why);
        return ExitFailed;
    }
    if (o.json)
        out.event({{QStringLiteral("event"), QStringLiteral("result")},
                   {QStringLiteral("device"), d.location},
                   {QStringLiteral("result"), QStringLiteral("done")},
                   {QStringLiteral("file"), path}});
    else
        out.line(QStringLiteral("%1: memory of \"%2\" written to %3").arg(d.name(), work.memoryName(), path));
    return ExitDone;
}

int changeMode(const Options &o, const Io &io, bool toDfu)
{
    Output out(io, o.json);
    if (!o.positional.isEmpty()) {
        out.problem(QStringLiteral("unexpected argument %1").arg(o.positional.first()));
        return ExitUsage;
    }
    int exit = ExitDone;
    const QList<update::Device> chosen = choose(toDfu ? update::appDevices() : update::dfuDevices(), o, out, exit);
    if (chosen.isEmpty())
        return exit;
    QList<int> codes;
    for (const update::Device &d : chosen) {
        bool sent = false;
        if (toDfu) {
            sent = update::enterDfuMode(d);
        } else {
            update::DfuWork work;
            QString why;
            bool stopped = false;
            sent = work.open(d, why) && work.launchReturn().result == update::DfuWork::Launch::Launched
                   && finish(work, QStringLiteral("return"), d.name(), out, io, stopped);
            if (stopped) {
                out.problem(d.name() + QStringLiteral(": interrupted; it stays in DFU mode"));
                return ExitInterrupted;
            }
        }
        if (!sent) {
            out.problem(d.name() + (toDfu ? QStringLiteral(": refused to enter DFU mode")
                                          : QStringLiteral(": could not be sent back to its application")));
            codes << ExitFailed;
            continue;
        }
        const update::Arrival arrived =
            update::waitForDevice(toDfu ? update::Device::Dfu : update::Device::Application, d.location,
                                  io.arrivalTimeoutMs, [&io] { return interrupted(io); }, idle);
        if (arrived.result == update::Arrival::Interrupted) {
            out.problem(d.name() + QStringLiteral(": interrupted while it restarts"));
            return ExitInterrupted;
        }
        if (arrived.result == update::Arrival::TimedOut) {
            out.problem(d.name() + QStringLiteral(": did not come back in time; replug it"));
            codes << ExitNoDevice;
            continue;
        }
        const QString version = toDfu ? QString() : update::queryVersion(arrived.device).version;
        if (o.json)
            out.event({{QStringLiteral("event"), QStringLiteral("result")},
                       {QStringLiteral("device"), d.location},
                       {QStringLiteral("mode"), toDfu ? QStringLiteral("dfu") : QStringLiteral("application")},
                       {QStringLiteral("version"), version},
                       {QStringLiteral("result"), QStringLiteral("done")}});
        else
            out.line(toDfu ? QStringLiteral("%1: in DFU mode").arg(d.name())
                           : QStringLiteral("%1: back in its application, firmware %2")
                                 .arg(d.name(), version.isEmpty() ? QStringLiteral("(not reported)") : version));
    }
    return worstExit(codes);
}

} // namespace cli
