// tolvex-dfu station: every board updated as it is plugged in.

#include "Commands.h"

#include "CommandSupport.h"
#include "HistoryWriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QThread>

#include <algorithm>
#include <memory>

namespace cli {

namespace {

// How long a port may stay empty while its board restarts between its modes. The simulated
// boards are away 0.05 to 0.2 s; a boot loader re-enumerating takes well under a second on
// the boards we know. A hand that swaps a board is slower than that, and a board with its own
// serial is told apart at once.
constexpr qint64 RestartGraceMs = 1500;

// One fixture slot and the board in it.
struct Place
{
    std::shared_ptr<update::Session> session;
    bool ended = false; // its board was dealt with: not again until it is unplugged or replaced
    QElapsedTimer empty; // running while the port is empty
};

// Whether `d`, at an ended place, is another board than the one dealt with there: one that
// reports a serial of its own the board never showed.
bool anotherBoard(const update::Device &d, const update::Session &s)
{
    const update::Session::Identity &was = s.identity();
    return !d.serial.isEmpty() && d.serial != was.serial && d.serial != was.bootSerial && d.appSerial != was.serial;
}

} // namespace

int station(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    update::Session::Settings settings;
    DfuFileCheck checked;
    int failure = ExitDone;
    if (!prepareRoad(o, io, out, "station", settings, checked, failure))
        return failure;
    settings.station = true;
    const QString historyPath = o.noHistory ? QString() : o.history.value_or(update::History::defaultPath());
    // Rows go to a writer of their own: a locked history delays no board.
    update::HistoryWriter history(historyPath, historyFor(o, historyPath, out));
    settings.bootSerialOf = [historyPath](const QString &serial) {
        return update::History(historyPath, update::History::Mode::Read).bootSerialOf(serial);
    };
    QMap<QString, QString> labels;
    for (const QString &l : o.labels)
        labels.insert(l.section(QLatin1Char('='), 0, 0), l.section(QLatin1Char('='), 1));
    // A board's row, with its slot's name where the port has one.
    const auto row = [&labels](const update::Session &s) {
        update::Road road = s.road(QStringLiteral("station"));
        road.label = labels.value(s.device().location);
        return update::historyRow(road);
    };
    // Only the ports given (--device 1-1,1-2), only the USB ids given.
    const QStringList ports = o.device ? o.device->split(QLatin1Char(','), Qt::SkipEmptyParts) : QStringList();
    update::Selection only;
    only.usb = o.usb;
    DfuLink::waitOutPollTimeouts(o.strictTiming);
    out.note(QStringLiteral("station: %1 (%2); plug boards in, Ctrl-C to stop")
                 .arg(QFileInfo(settings.file->path).fileName(), checked.signature));

    // "slot-A (1-2), serial TVX-0001", or "1-2, serial ..." without a label.
    const auto who = [&labels](const QString &location, const QString &serial) {
        const QString place =
            labels.contains(location) ? QStringLiteral("%1 (%2)").arg(labels[location], location) : location;
        return serial.isEmpty() ? place : QStringLiteral("%1, serial %2").arg(place, serial);
    };
    QMap<QString, Place> places;
    int done = 0, upToDate = 0, refused = 0, failed = 0, stopped = 0, ended = 0;
    QJsonArray notDone;
    QStringList notDoneLines;
    const auto running = [&] {
        return int(std::count_if(
            places.begin(), places.end(), [](const Place &p) { return p.session && !p.session->over(); }));
    };
    const auto tally = [&] {
        return QStringLiteral("done %1, already up to date %2, refused %3, failed %4, interrupted %5, in progress %6")
            .arg(done)
            .arg(upToDate)
            .arg(refused)
            .arg(failed)
            .arg(stopped)
            .arg(running());
    };
    const auto report = [&](const update::Session &s, const update::History::Record &r) {
        using R = update::Session::Result;
        const bool current = r.result == QLatin1String("up to date");
        const QString serial = s.identity().ownSerial();
        const QString name = who(s.device().location, serial);
        const QString result =
            current ? QStringLiteral("up to date") : QString::fromLatin1(update::resultName(s.result()));
        switch (s.result()) {
        case R::Done: (current ? upToDate : done) += 1; break;
        case R::Refused: ++refused; break;
        case R::Interrupted: ++stopped; break;
        default: ++failed; break;
        }
        ++ended;
        if (s.result() != R::Done) {
            notDone.append(QJsonObject{{QStringLiteral("device"), s.device().location},
                {QStringLiteral("label"), known(labels.value(s.device().location))},
                {QStringLiteral("serial"), known(serial)}, {QStringLiteral("result"), result}});
            notDoneLines << QStringLiteral("  %1: %2").arg(name, result);
        }
        if (out.jsonOutput()) {
            out.event(
                {{QStringLiteral("event"), QStringLiteral("result")}, {QStringLiteral("device"), s.device().location},
                    {QStringLiteral("label"), known(labels.value(s.device().location))},
                    {QStringLiteral("product"), s.device().product}, {QStringLiteral("serial"), known(s.metSerial())},
                    {QStringLiteral("appSerial"), known(s.identity().serial)},
                    {QStringLiteral("bootSerial"), known(s.identity().bootSerial)},
                    {QStringLiteral("old"), known(s.oldVersion())}, {QStringLiteral("new"), known(s.newVersion())},
                    {QStringLiteral("result"), result}, {QStringLiteral("message"), s.message()},
                    {QStringLiteral("signature"), checked.signature},
                    {QStringLiteral("fileRelease"), known(s.fileRelease())},
                    {QStringLiteral("seconds"), double(s.elapsedMs()) / 1000.0},
                    {QStringLiteral("exit"), exitOf(s.result())}});
            return;
        }
        // The message says its own result where it begins with it.
        const QString said = s.message().startsWith(result + QLatin1Char(':'))
                                 ? s.message()
                                 : result + QStringLiteral(": ") + s.message();
        const QString what =
            current ? QStringLiteral("already up to date")
            : s.result() == R::Done
                ? QStringLiteral("%1 -> %2")
                      .arg(s.oldVersion(), s.newVersion().isEmpty() ? QStringLiteral("(not reported)") : s.newVersion())
                : said;
        // One call: a '%1' in a version text is text, not a placeholder of a later arg().
        out.line(
            QStringLiteral("%1: %2 (%3 s)").arg(name, what, QString::number(double(s.elapsedMs()) / 1000.0, 'f', 1)));
        out.note(tally());
    };

    bool stopping = false, changeSaid = false;
    QHash<QString, QString> knownSerials; // "BUS.ADDRESS|boot serial" -> the board's own serial
    for (;;) {
        if (interrupted(io) && !stopping) {
            // No new boards; the running ones stop between two transfers.
            stopping = true;
            for (Place &p : places) {
                if (p.session && !p.session->over())
                    p.session->interrupt();
            }
        }
        QList<update::Device> present = update::appDevices() + update::dfuDevices();
        // Asked of the history once per DFU-mode device plugged in, not on every look: what it
        // knows of a device does not change while the device stays.
        for (update::Device &d : present) {
            if (!d.dfuMode())
                continue;
            const QString key = d.busAddress + QLatin1Char('|') + d.serial;
            if (!knownSerials.contains(key)) {
                QList<update::Device> one{d};
                update::History known(historyPath, update::History::Mode::Read);
                update::addKnownSerials(one, known);
                knownSerials.insert(key, one.first().appSerial);
            }
            d.appSerial = knownSerials.value(key);
        }
        update::forgetSharedBootSerials(present);
        present.erase(std::remove_if(present.begin(), present.end(),
                          [&](const update::Device &d) {
                              return d.location.isEmpty() || !update::fits(d, only)
                                     || (!ports.isEmpty() && !ports.contains(d.location));
                          }),
            present.end());
        for (auto it = places.begin(); it != places.end(); ++it) {
            Place &p = it.value();
            if (!p.ended)
                continue;
            // Really unplugged: empty for longer than a restart takes. Or another board in its place.
            const std::optional<update::Device> here = update::deviceAt(present, it.key());
            if (here && anotherBoard(*here, *p.session)) {
                p = Place();
                continue;
            }
            if (here) {
                p.empty.invalidate();
            } else if (!p.empty.isValid()) {
                p.empty.start();
            } else if (p.empty.elapsed() > RestartGraceMs) {
                p = Place();
            }
        }
        if (!stopping) {
            for (const update::Device &d : present) {
                if (o.count > 0 && ended + running() >= o.count)
                    break;
                Place &p = places[d.location];
                if (p.session)
                    continue;
                if (!changeSaid && settings.file->changedOnDisk()) {
                    // The boards go on getting what was read: one run, one file.
                    out.problem(QStringLiteral("%1 has changed on disk since the station read it; every board gets "
                                               "the bytes read at the start (SHA-256 %2)")
                                    .arg(settings.file->path, settings.file->sha256));
                    changeSaid = true;
                }
                p.session = std::make_shared<update::Session>(d, settings);
                const QString name = who(d.location, d.dfuMode() && !d.appSerial.isEmpty() ? d.appSerial : d.serial);
                p.session->noted = [&out, name](const QString &text) { out.note(name + QStringLiteral(": ") + text); };
                p.session->progressed = [&out, d](const update::Session::Progress &pr) {
                    out.progress(d.location, pr.phase, pr.percent, pr.done, pr.total, pr.elapsedMs);
                };
                if (out.jsonOutput())
                    out.event({{QStringLiteral("event"), QStringLiteral("arrived")},
                        {QStringLiteral("device"), d.location},
                        {QStringLiteral("label"), known(labels.value(d.location))},
                        {QStringLiteral("product"), d.product}, {QStringLiteral("serial"), known(d.serial)},
                        {QStringLiteral("mode"), d.dfuMode() ? QStringLiteral("dfu") : QStringLiteral("application")}});
                else
                    out.note(name + QStringLiteral(": arrived"));
                history.put(row(*p.session));
                p.session->start();
            }
        }
        bool busy = false;
        for (Place &p : places) {
            if (!p.session || p.ended)
                continue;
            if (!p.session->over())
                p.session->advance();
            if (p.session->over()) {
                out.finished(p.session->device().location);
                const update::History::Record r = row(*p.session);
                history.put(r);
                report(*p.session, r);
                p.ended = true;
            } else {
                busy = true;
            }
        }
        for (const QString &problem : history.takeProblems())
            out.problem(problem);
        if ((stopping || (o.count > 0 && ended >= o.count)) && !busy)
            break;
        QCoreApplication::processEvents();
        QThread::msleep(PollMs);
    }
    DfuLink::waitOutPollTimeouts(false);
    history.drain();
    for (const QString &problem : history.takeProblems())
        out.problem(problem);
    // Any board that did not end done, refused ones too, asks something of the operator.
    const int exit = stopping ? int(ExitInterrupted) : failed || refused ? int(ExitFailed) : int(ExitDone);
    if (out.jsonOutput()) {
        out.event({{QStringLiteral("event"), QStringLiteral("tally")}, {QStringLiteral("done"), done},
            {QStringLiteral("upToDate"), upToDate}, {QStringLiteral("refused"), refused},
            {QStringLiteral("failed"), failed}, {QStringLiteral("interrupted"), stopped},
            {QStringLiteral("inProgress"), running()}, {QStringLiteral("notDone"), notDone},
            {QStringLiteral("notRecorded"), history.lostRows()}, {QStringLiteral("exit"), exit}});
    } else {
        out.line(QStringLiteral("station: ") + tally());
        if (!notDoneLines.isEmpty()) {
            out.line(QStringLiteral("station: not done:"));
            for (const QString &line : notDoneLines)
                out.line(line);
        }
    }
    return exit;
}

} // namespace cli
