// tolvex-dfu update: the whole road, for one device or several at once.

#include "Commands.h"

#include "CommandSupport.h"
#include "HistoryWriter.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QThread>

#include <memory>

namespace cli {

namespace {

// The road of update, and of verify, which reads back and compares instead of writing.
int road(const Options &o, const Io &io, bool verifying)
{
    Output out(io, o.json, o.quiet);
    update::Session::Settings settings;
    DfuFileCheck checked;
    int failure = ExitDone;
    if (!prepareRoad(o, io, out, verifying ? "verify" : "update", settings, checked, failure))
        return failure;
    settings.force = o.force;
    settings.stay = o.stay;
    settings.dryRun = o.dryRun;
    settings.enter = o.enter;
    settings.verify = verifying;
    settings.alternate = o.alternate.value_or(QString());
    out.note(QStringLiteral("%1: %2").arg(QFileInfo(settings.file->path).fileName(), checked.signature));
    // A dry run or a verify changes nothing, and leaves no trace either.
    const QString historyPath = o.noHistory ? QString() : o.history.value_or(update::History::defaultPath());
    const QString writtenTo = o.dryRun || verifying ? QString() : historyPath;
    update::HistoryWriter history(writtenTo, historyFor(o, writtenTo, out));
    settings.bootSerialOf = [historyPath](const QString &serial) {
        return update::History(historyPath, update::History::Mode::Read).bootSerialOf(serial);
    };
    int exit = ExitDone;
    const QList<update::Device> chosen =
        choose([historyPath] { return presentDevices(historyPath); }, o, out, io, exit);
    if (chosen.isEmpty())
        return exit;
    DfuLink::waitOutPollTimeouts(o.strictTiming);
    // Each row is written when its board starts and once when it ends, at its own end time.
    QSet<const update::Session *> recorded;
    const auto record = [&](const update::Session &s) {
        history.put(update::historyRow(s.road(QStringLiteral("tolvex-dfu"))));
        if (s.over())
            recorded.insert(&s);
    };

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
        record(*session);
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
            if (session->over()) {
                out.finished(session->device().location);
                record(*session);
            }
            running = running || !session->over();
        }
        if (!running)
            break;
        QCoreApplication::processEvents();
        QThread::msleep(PollMs);
    }
    DfuLink::waitOutPollTimeouts(false);
    // Sessions that ended without a step of the loop (at their start, or interrupted).
    for (const auto &session : sessions) {
        if (session->over() && !recorded.contains(session.get()))
            record(*session);
    }
    // The rows are written by now, or said not to be.
    history.drain();
    for (const QString &problem : history.takeProblems())
        out.problem(problem);

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
                {QStringLiteral("device"), s->device().location}, {QStringLiteral("product"), s->device().product},
                {QStringLiteral("serial"), known(o.serial.value_or(s->metSerial()))},
                {QStringLiteral("appSerial"), known(s->identity().serial)},
                {QStringLiteral("bootSerial"), known(s->identity().bootSerial)},
                {QStringLiteral("old"), known(s->oldVersion())}, {QStringLiteral("new"), known(s->newVersion())},
                {QStringLiteral("result"), QString::fromLatin1(update::resultName(s->result()))},
                {QStringLiteral("message"), s->message()}, {QStringLiteral("signature"), checked.signature},
                {QStringLiteral("fileRelease"), known(s->fileRelease())},
                {QStringLiteral("seconds"), double(s->elapsedMs()) / 1000.0}, {QStringLiteral("exit"), code}};
            if (history.keeps()) {
                const Outcome recorded = history.recorded(s->rowIdentifier());
                result.insert(QStringLiteral("recorded"), recorded.isOk());
                if (!recorded)
                    result.insert(QStringLiteral("historyProblem"), recorded.message());
            }
            if (verifying) {
                QJsonArray ranges;
                for (const auto &r : d.differences)
                    ranges.append(
                        QJsonObject{{QStringLiteral("start"), hex(r.first)}, {QStringLiteral("end"), hex(r.second)}});
                result.insert(QStringLiteral("identical"), s->result() == update::Session::Result::Done);
                result.insert(QStringLiteral("differences"), ranges);
                result.insert(QStringLiteral("bytesCompared"), d.bytesCompared);
                result.insert(QStringLiteral("image"), known(d.imageName));
            }
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
        } else if (verifying) {
            if (s->result() == update::Session::Result::Done || s->result() == update::Session::Result::Differs)
                out.line(QStringLiteral("%1: %2").arg(name, s->message()));
            else if (s->result() == update::Session::Result::Unreadable)
                out.problem(name + QStringLiteral(": ") + s->message());
        } else if (o.dryRun
                   && (s->result() == update::Session::Result::Done || s->result() == update::Session::Result::Unknown
                       || s->result() == update::Session::Result::Refused)) {
            out.line(QStringLiteral("%1: firmware %2; image \"%3\", permitted \"%4\"; %5")
                         .arg(name, s->oldVersion() == QLatin1String("?") ? QStringLiteral("(not known in DFU mode)") : s->oldVersion(),
                              d.imageName.isEmpty() ? QStringLiteral("(chosen in DFU mode)") : d.imageName,
                              d.permittedName, s->message()));
        } else if (s->result() == update::Session::Result::Done && sessions.size() == 1) {
            out.line(o.stay ? QStringLiteral("%1: %2").arg(name, s->message())
                            : QStringLiteral("%1: %2 -> %3%4")
                                  .arg(name, s->oldVersion(),
                                      s->newVersion().isEmpty() ? QStringLiteral("(not reported)") : s->newVersion(),
                                      !s->message().isEmpty() ? QStringLiteral(" (") + s->message() + ")"
                                      : keptEverySector(d.sectorsTouched, d.sectorsKept)
                                          ? QStringLiteral(" (already up to date)")
                                          : QString()));
        } else if (s->result() == update::Session::Result::Interrupted) {
            out.problem(name + QStringLiteral(": ") + s->message());
        }
    }
    if (sessions.size() > 1 && !out.jsonOutput() && !verifying) {
        // As wide as the terminal allows, 80 columns otherwise.
        const int deviceWidth = std::max(20, std::min(40, io.columns - 1 - 42));
        out.line(tableLine({{QStringLiteral("DEVICE"), -deviceWidth}, {QStringLiteral("OLD"), -10},
            {QStringLiteral("NEW"), -10}, {QStringLiteral("RESULT"), -11}, {QStringLiteral("TIME"), 7}}));
        for (const auto &s : sessions)
            out.line(
                tableLine({{elided(s->device().name(), deviceWidth), -deviceWidth}, {elided(s->oldVersion(), 10), -10},
                    {elided(s->newVersion().isEmpty() ? QStringLiteral("-") : s->newVersion(), 10), -10},
                    {QString::fromLatin1(update::resultName(s->result())), -11},
                    {QStringLiteral("%1 s").arg(double(s->elapsedMs()) / 1000.0, 0, 'f', 1), 7}}));
    }
    return stopped ? int(ExitInterrupted) : worstExit(codes);
}

} // namespace

int update(const Options &o, const Io &io)
{
    return road(o, io, false);
}

int verify(const Options &o, const Io &io)
{
    return road(o, io, true);
}

} // namespace cli
