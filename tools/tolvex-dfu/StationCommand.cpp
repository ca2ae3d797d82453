// tolvex-dfu station: every board updated as it is plugged in; the rules are update::Station's,
// this is its options and its output.

#include "Commands.h"

#include "CommandSupport.h"
#include "HistoryWriter.h"
#include "Station.h"
#include "StationProfile.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

namespace cli {

namespace {

// The longest label a scanner may type; a longer line is no label.
constexpr int MaxScan = 128;

// The station's options from its profile; false with the outcome said and `exit` set. The
// options a profile sets are not given beside it, so that an operator cannot start the line
// engineer's station with another file.
bool fromProfile(Options &o, Output &out, update::StationProfile &profile, int &exit)
{
    QStringList given;
    if (!o.positional.isEmpty())
        given << QStringLiteral("FILE");
    if (o.config != QLatin1String(ConfigurationFileName))
        given << QStringLiteral("--config");
    if (o.count)
        given << QStringLiteral("--count");
    if (!o.labels.isEmpty())
        given << QStringLiteral("--label");
    if (o.history || o.noHistory)
        given << QStringLiteral("--history");
    if (o.central)
        given << QStringLiteral("--central");
    if (o.allowOlder)
        given << QStringLiteral("--allow-older");
    if (o.scan)
        given << QStringLiteral("--scan");
    if (o.restartWait)
        given << QStringLiteral("--restart-wait");
    if (o.device)
        given << QStringLiteral("--device");
    if (o.full)
        given << QStringLiteral("--full");
    if (!given.isEmpty()) {
        exit = ends(out, ExitUsage,
            QStringLiteral("the profile sets %1; with --profile only --operator, --lot and the output options are "
                           "given")
                .arg(given.join(QStringLiteral(", "))));
        return false;
    }
    const Outcome loaded = update::loadStationProfile(*o.profile, profile);
    if (!loaded) {
        exit = ends(out, ExitUsage, loaded.message());
        return false;
    }
    // Asked for where the profile says so; fixed where it names one.
    for (auto [key, value, option] :
        {std::tuple<const char *, QString, std::optional<QString> *>{"operator", profile.operatorName, &o.operatorName},
            {"lot", profile.lot, &o.lot}}) {
        const QString name = QLatin1String(key);
        if (value == QLatin1String("ask") && (!*option || (*option)->trimmed().isEmpty())) {
            exit = ends(out, ExitUsage, QStringLiteral("the profile asks for the %1: give --%1").arg(name));
            return false;
        }
        if (value != QLatin1String("ask") && !value.isEmpty() && *option && **option != value) {
            exit = ends(out, ExitUsage, QStringLiteral("the profile sets the %1 to %2").arg(name, value));
            return false;
        }
        if (value != QLatin1String("ask") && !value.isEmpty())
            *option = value;
    }
    o.positional = QStringList{profile.firmware};
    if (!profile.config.isEmpty())
        o.config = profile.config;
    o.count = profile.count;
    o.restartWait = profile.restartWaitSeconds;
    o.allowOlder = profile.allowOlder;
    if (!profile.history.isEmpty())
        o.history = profile.history;
    if (!profile.central.isEmpty())
        o.central = profile.central;
    o.scan = QString::fromLatin1(update::scanName(profile.scan));
    QStringList ports;
    for (const auto &port : profile.ports) {
        o.labels << port.first + QLatin1Char('=') + port.second;
        ports << port.first;
    }
    if (!ports.isEmpty())
        o.device = ports.join(QLatin1Char(','));
    return true;
}

} // namespace

int station(const Options &given, const Io &io)
{
    Options o = given;
    Output out(io, o.json, o.quiet);
    out.stampTimes = true;
    int failure = ExitDone;
    update::StationProfile profile;
    if (o.profile && !fromProfile(o, out, profile, failure))
        return failure;
    update::Station::Settings ss;
    DfuFileCheck checked;
    if (!prepareRoad(o, io, out, "station", ss.road, checked, failure))
        return failure;
    if (o.profile && !profile.sha256.isEmpty() && ss.road.file->sha256 != profile.sha256) {
        return ends(out, ExitRefused,
            QStringLiteral("%1 is not the firmware the profile names: its SHA-256 is %2, the profile's %3; no board "
                           "was touched")
                .arg(ss.road.file->path, ss.road.file->sha256, profile.sha256));
    }
    if (o.restartWait)
        ss.road.arrivalTimeoutMs = *o.restartWait * 1000;
    ss.historyPath = o.noHistory ? QString() : o.history.value_or(update::History::defaultPath());
    // Rows go to a writer of their own: a locked history delays no board.
    update::HistoryWriter history(ss.historyPath, historyFor(o, ss.historyPath, out));
    for (const QString &l : o.labels)
        ss.labels.insert(l.section(QLatin1Char('='), 0, 0), l.section(QLatin1Char('='), 1));
    ss.ports = o.device ? o.device->split(QLatin1Char(','), Qt::SkipEmptyParts) : QStringList();
    ss.only.usb = o.usb;
    ss.count = o.count;
    ss.operatorName = o.operatorName.value_or(QString()).trimmed();
    ss.lot = o.lot.value_or(QString()).trimmed();
    const QString scan = o.scan.value_or(QStringLiteral("off"));
    ss.scan = scan == QLatin1String("required")   ? update::Station::Scan::Required
              : scan == QLatin1String("optional") ? update::Station::Scan::Optional
                                                  : update::Station::Scan::Off;
    ss.lookMs = PollMs;
    update::Station station(ss, history);
    DfuLink::waitOutPollTimeouts(o.strictTiming);

    QString first = QStringLiteral("station: %1 (%2)").arg(QFileInfo(ss.road.file->path).fileName(), checked.signature);
    if (o.profile)
        first += QStringLiteral("; profile %1%2")
                     .arg(profile.path, profile.locked ? QStringLiteral(" (locked)")
                                                       : QStringLiteral(" (not locked: anyone who can write it "
                                                                        "changes the line)"));
    if (!ss.lot.isEmpty())
        first += QStringLiteral("; lot %1").arg(ss.lot);
    if (!ss.operatorName.isEmpty())
        first += QStringLiteral("; operator %1").arg(ss.operatorName);
    out.note(first + QStringLiteral("; plug boards in, Ctrl-C to finish"));
    if (o.profile && !profile.locked && out.jsonOutput())
        out.problem(QStringLiteral("the profile %1 is not locked").arg(profile.path));

    // "slot-A (1-2), serial TVX-0001", or "1-2, serial ..." without a label.
    const auto who = [&ss](const QString &location, const QString &serial) {
        const QString place = ss.labels.contains(location)
                                  ? QStringLiteral("%1 (%2)").arg(ss.labels.value(location), location)
                                  : location;
        return serial.isEmpty() ? place : QStringLiteral("%1, serial %2").arg(place, serial);
    };
    const auto tallyText = [&station] {
        const update::Station::Tally t = station.tally();
        return QStringLiteral("done %1, already up to date %2, refused %3, failed %4, pulled %5, interrupted %6, in "
                              "progress %7")
            .arg(t.done)
            .arg(t.upToDate)
            .arg(t.refused)
            .arg(t.failed)
            .arg(t.pulled)
            .arg(t.interrupted)
            .arg(t.inProgress);
    };
    // By row: a board that comes back after its record was given up ends that record again.
    QMap<QString, std::pair<QJsonObject, QString>> notDone;
    QStringList rowOrder;
    station.arrived = [&](const update::Session &, const update::Device &d) {
        if (out.jsonOutput())
            out.event({{QStringLiteral("event"), QStringLiteral("arrived")}, {QStringLiteral("device"), d.location},
                {QStringLiteral("label"), known(ss.labels.value(d.location))}, {QStringLiteral("product"), d.product},
                {QStringLiteral("serial"), known(d.serial)},
                {QStringLiteral("mode"), d.dfuMode() ? QStringLiteral("dfu") : QStringLiteral("application")}});
        else
            out.note(who(d.location, d.dfuMode() && !d.appSerial.isEmpty() ? d.appSerial : d.serial)
                     + QStringLiteral(": arrived"));
    };
    station.noted = [&](const update::Session &s, const QString &text) {
        out.note(who(s.device().location, s.identity().ownSerial()) + QStringLiteral(": ") + text);
    };
    station.progressed = [&](const update::Session &s, const update::Session::Progress &p) {
        out.progress(s.device().location, p.phase, p.percent, p.done, p.total, p.elapsedMs);
    };
    station.problem = [&](const QString &text) { out.problem(text); };
    station.ended = [&](const update::Session &s, const update::History::Record &r, bool) {
        using R = update::Session::Result;
        out.finished(s.device().location);
        const bool current = r.result == QLatin1String("up to date");
        const QString serial = !s.identity().ownSerial().isEmpty() ? s.identity().ownSerial() : r.serial;
        const QString name = who(s.device().location, serial);
        const QString result =
            current ? QStringLiteral("up to date") : QString::fromLatin1(update::resultName(s.result()));
        if (!rowOrder.contains(r.uuid))
            rowOrder << r.uuid;
        notDone.remove(r.uuid);
        if (s.result() != R::Done)
            notDone.insert(r.uuid, {QJsonObject{{QStringLiteral("device"), s.device().location},
                                        {QStringLiteral("label"), known(ss.labels.value(s.device().location))},
                                        {QStringLiteral("serial"), known(serial)}, {QStringLiteral("result"), result}},
                                       QStringLiteral("  %1: %2").arg(name, result)});
        if (out.jsonOutput()) {
            out.event(
                {{QStringLiteral("event"), QStringLiteral("result")}, {QStringLiteral("device"), s.device().location},
                    {QStringLiteral("label"), known(ss.labels.value(s.device().location))},
                    {QStringLiteral("product"), s.device().product}, {QStringLiteral("serial"), known(s.metSerial())},
                    {QStringLiteral("appSerial"), known(s.identity().serial)},
                    {QStringLiteral("bootSerial"), known(s.identity().bootSerial)},
                    {QStringLiteral("old"), known(s.oldVersion())}, {QStringLiteral("new"), known(s.newVersion())},
                    {QStringLiteral("result"), result}, {QStringLiteral("message"), s.message()},
                    {QStringLiteral("signature"), checked.signature},
                    {QStringLiteral("fileRelease"), known(s.fileRelease())},
                    {QStringLiteral("seconds"), double(s.elapsedMs()) / 1000.0},
                    {QStringLiteral("exit"), exitOf(s.result())}, {QStringLiteral("row"), r.uuid},
                    {QStringLiteral("sha256"), r.fileSha256}, {QStringLiteral("operator"), known(r.operatorName)},
                    {QStringLiteral("lot"), known(r.lot)}, {QStringLiteral("scannedLabel"), known(r.scannedLabel)}});
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
        out.note(tallyText());
    };

    QEventLoop loop;
    station.over = [&loop] { loop.quit(); };
    // The first signal drains, the second stops the running boards.
    QTimer signalWatch;
    int signalsSeen = 0;
    signalWatch.callOnTimeout([&] {
        const int now = io.signalCount ? io.signalCount->load() : interrupted(io) ? 1 : 0;
        if (now == signalsSeen)
            return;
        signalsSeen = now;
        if (now == 1) {
            out.note(QStringLiteral("station: finishing: no new boards; the running ones finish (Ctrl-C again stops "
                                    "them)"));
            station.drain();
        } else {
            station.stop();
        }
    });
    signalWatch.start(PollMs);
    // A scanner types a label and Enter.
    std::unique_ptr<QSocketNotifier> scanner;
    QByteArray typed;
    if (ss.scan != update::Station::Scan::Off) {
        scanner = std::make_unique<QSocketNotifier>(io.scanFd, QSocketNotifier::Read);
        QObject::connect(scanner.get(), &QSocketNotifier::activated, [&] {
            char buffer[512];
            const ssize_t n = ::read(io.scanFd, buffer, sizeof buffer);
            if (n <= 0) {
                scanner->setEnabled(false); // the scanner is gone: boards still arrive
                return;
            }
            typed.append(buffer, int(n));
            for (int end; (end = typed.indexOf('\n')) >= 0;) {
                const QString label = QString::fromUtf8(typed.left(end)).trimmed();
                typed.remove(0, end + 1);
                const bool printable = std::all_of(label.begin(), label.end(), [](QChar c) { return c.isPrint(); });
                if (label.isEmpty())
                    continue;
                if (label.size() > MaxScan || !printable) {
                    out.problem(QStringLiteral("a scanned label is at most %1 printable characters").arg(MaxScan));
                    continue;
                }
                station.scanned(label);
                out.note(QStringLiteral("station: scanned %1").arg(label));
            }
            if (typed.size() > 4 * MaxScan)
                typed.clear();
        });
    }
    station.start();
    loop.exec();
    signalWatch.stop();
    scanner.reset();
    DfuLink::waitOutPollTimeouts(false);
    history.drain();
    for (const QString &problem : history.takeProblems())
        out.problem(problem);
    // 130 only when a board was stopped; any board that did not end done asks something of the
    // operator.
    const int exit = station.anyStopped() ? int(ExitInterrupted) : notDone.isEmpty() ? int(ExitDone) : int(ExitFailed);
    QJsonArray notDoneJson;
    QStringList notDoneLines;
    for (const QString &row : rowOrder) {
        if (notDone.contains(row)) {
            notDoneJson.append(notDone.value(row).first);
            notDoneLines << notDone.value(row).second;
        }
    }
    const update::Station::Tally t = station.tally();
    if (out.jsonOutput()) {
        out.event({{QStringLiteral("event"), QStringLiteral("tally")}, {QStringLiteral("done"), t.done},
            {QStringLiteral("upToDate"), t.upToDate}, {QStringLiteral("refused"), t.refused},
            {QStringLiteral("failed"), t.failed}, {QStringLiteral("pulled"), t.pulled},
            {QStringLiteral("interrupted"), t.interrupted}, {QStringLiteral("inProgress"), t.inProgress},
            {QStringLiteral("boards"), t.boards}, {QStringLiteral("firstPass"), t.firstPass},
            {QStringLiteral("lot"), known(ss.lot)}, {QStringLiteral("notDone"), notDoneJson},
            {QStringLiteral("notRecorded"), history.lostRows()}, {QStringLiteral("exit"), exit}});
    } else {
        out.line(QStringLiteral("station: ") + tallyText());
        if (t.boards > 0)
            out.line(QStringLiteral("station: first-pass yield %1 of %2 boards").arg(t.firstPass).arg(t.boards));
        if (!notDoneLines.isEmpty()) {
            out.line(QStringLiteral("station: not done:"));
            for (const QString &line : notDoneLines)
                out.line(line);
        }
    }
    return exit;
}

} // namespace cli
