// tolvex-dfu station: every board updated as it is plugged in.

#include "Commands.h"

#include "CommandSupport.h"
#include "History.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QMap>
#include <QThread>

#include <algorithm>
#include <memory>

namespace cli {

int station(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    update::Session::Settings settings;
    DfuFileCheck checked;
    int failure = ExitDone;
    if (!prepareRoad(o, io, out, "station", settings, checked, failure))
        return failure;
    update::History history(o.noHistory ? QString() : o.history.value_or(update::History::defaultPath()));
    DfuLink::waitOutPollTimeouts(o.strictTiming);
    out.note(QStringLiteral("station: %1 (%2); plug boards in, Ctrl-C to stop")
                 .arg(QFileInfo(settings.file->path).fileName(), checked.signature));

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
                {QStringLiteral("device"), s.device().location}, {QStringLiteral("product"), s.device().product},
                {QStringLiteral("serial"), known(s.device().serial)}, {QStringLiteral("old"), known(s.oldVersion())},
                {QStringLiteral("new"), known(s.newVersion())},
                {QStringLiteral("result"),
                    current ? QStringLiteral("up to date") : QString::fromLatin1(update::resultName(s.result()))},
                {QStringLiteral("message"), s.message()}, {QStringLiteral("signature"), checked.signature},
                {QStringLiteral("fileRelease"), known(s.fileRelease())},
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
                p.row = history.begin(update::historyRecord(*p.session, QStringLiteral("station")));
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
                const update::History::Record r = update::historyRecord(*p.session, QStringLiteral("station"));
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
    DfuLink::waitOutPollTimeouts(false);
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

} // namespace cli
