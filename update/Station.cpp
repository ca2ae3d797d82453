#include "Station.h"

#include <QSet>

#include <algorithm>

namespace update {

namespace {

// Whether `d` is another board than the one of `s`: one that reports a serial of its own the
// board never showed.
bool anotherBoard(const Device &d, const Session &s)
{
    const Session::Identity &was = s.identity();
    return !d.serial.isEmpty() && d.serial != was.serial && d.serial != was.bootSerial && d.appSerial != was.serial;
}

bool passed(const QString &result)
{
    return result == QLatin1String("done") || result == QLatin1String("up to date");
}

} // namespace

const char *scanName(Station::Scan s)
{
    switch (s) {
    case Station::Scan::Optional: return "optional";
    case Station::Scan::Required: return "required";
    case Station::Scan::Off: break;
    }
    return "off";
}

Station::Station(const Settings &settings, HistoryWriter &history) : settings_(settings), history(history)
{
    settings_.road.station = true;
    const QString path = settings_.historyPath;
    if (!path.isEmpty() && !settings_.road.bootSerialOf)
        settings_.road.bootSerialOf = [path](const QString &serial) {
            return History(path, History::Mode::Read).bootSerialOf(serial);
        };
    timer.setInterval(settings_.lookMs);
    QObject::connect(&timer, &QTimer::timeout, [this] { look(); });
}

Station::~Station()
{
    timer.stop();
    for (Place &p : places) {
        if (p.session && !p.session->over())
            p.session->interrupt();
    }
}

void Station::start()
{
    readLot();
    timer.start();
}

void Station::beginLot(const QString &lot)
{
    settings_.lot = lot;
    rows.clear();
    rowAt.clear();
    readLot();
}

void Station::readLot()
{
    if (!settings_.lot.isEmpty() && !settings_.historyPath.isEmpty()) {
        History::Filter f;
        f.lot = settings_.lot;
        for (const History::Record &r : History(settings_.historyPath, History::Mode::Read).rows(f)) {
            if (r.result == QLatin1String("running") || rowAt.contains(r.uuid))
                continue;
            rowAt.insert(r.uuid, int(rows.size()));
            rows.append(r);
        }
    }
}

void Station::drain()
{
    draining_ = true;
}

void Station::resume()
{
    if (stopping)
        return;
    draining_ = false;
    finished_ = false;
}

void Station::stop()
{
    stopping = true;
    draining_ = true;
    for (Place &p : places) {
        if (p.session && !p.session->over())
            p.session->interrupt();
    }
}

void Station::scanned(const QString &label)
{
    // The last label read is the one for the next board: a scan read twice, or a wrong one
    // scanned over, pairs once.
    scan_ = label.trimmed();
}

QList<Device> Station::present()
{
    QList<Device> found = appDevices() + dfuDevices();
    // Asked of the history once per DFU-mode device plugged in, not on every look: what it
    // knows of a device does not change while the device stays.
    for (Device &d : found) {
        if (!d.dfuMode())
            continue;
        const QString key = d.busAddress + QLatin1Char('|') + d.serial;
        if (!knownSerials.contains(key)) {
            QList<Device> one{d};
            History known(settings_.historyPath, History::Mode::Read);
            addKnownSerials(one, known);
            knownSerials.insert(key, one.first().appSerial);
        }
        d.appSerial = knownSerials.value(key);
    }
    forgetSharedBootSerials(found);
    found.erase(std::remove_if(found.begin(), found.end(),
                    [&](const Device &d) {
                        return d.location.isEmpty() || !fits(d, settings_.only)
                               || (!settings_.ports.isEmpty() && !settings_.ports.contains(d.location));
                    }),
        found.end());
    return found;
}

History::Record Station::row(const Session &s, const QString &scannedLabel) const
{
    History::Record r = historyRow(s.road(QStringLiteral("station")));
    r.label = settings_.labels.value(s.device().location);
    r.operatorName = settings_.operatorName;
    r.lot = settings_.lot;
    r.scannedLabel = scannedLabel;
    // A board that reports no serial of its own (or only a shared boot loader's) is known by
    // its label.
    if (r.serial.isEmpty())
        r.serial = scannedLabel;
    return r;
}

void Station::take(const Device &d, Place &p, const std::shared_ptr<Session> &earlier)
{
    if (!changeSaid && settings_.road.file && settings_.road.file->changedOnDisk()) {
        // The boards go on getting what was read: one run, one file.
        if (problem)
            problem(QStringLiteral("%1 has changed on disk since the station read it; every board gets the bytes read "
                                   "at the start (SHA-256 %2)")
                        .arg(settings_.road.file->path, settings_.road.file->sha256));
        changeSaid = true;
    }
    const QString label = earlier ? p.scannedLabel : scan_;
    if (!earlier)
        scan_.clear();
    p = Place();
    p.scannedLabel = label;
    p.session = std::make_shared<Session>(d, settings_.road);
    Session *s = p.session.get();
    if (earlier)
        s->continues(*earlier);
    s->noted = [this, s](const QString &text) {
        if (noted)
            noted(*s, text);
    };
    s->progressed = [this, s](const Session::Progress &pr) {
        if (progressed)
            progressed(*s, pr);
    };
    if (arrived)
        arrived(*s, d);
    // Its own serial, where it reports one: a boot loader's may be shared, and names no board.
    const QString own = d.dfuMode() ? d.appSerial : d.serial;
    if (!earlier && settings_.scan == Scan::Required && label.isEmpty())
        s->refuse(QStringLiteral("no label was scanned for it: scan its label, then plug it in again"));
    else if (!label.isEmpty() && !own.isEmpty() && own != label)
        s->refuse(QStringLiteral("label %1 does not match the board's serial %2").arg(label, own));
    history.put(row(*s, label));
    s->start();
}

void Station::finish(Place &p)
{
    p.ended = true;
    const Session &s = *p.session;
    const History::Record r = row(s, p.scannedLabel);
    history.put(r);
    const bool again = rowAt.contains(r.uuid);
    if (!again)
        ++endedBoards;
    if (s.result() == Session::Result::Interrupted)
        ++stoppedBoards;
    count(r);
    if (ended)
        ended(s, r, again);
}

void Station::count(const History::Record &r)
{
    if (rowAt.contains(r.uuid)) {
        rows[rowAt.value(r.uuid)] = r;
        return;
    }
    rowAt.insert(r.uuid, int(rows.size()));
    rows.append(r);
}

Station::Tally Station::tally() const
{
    Tally t;
    QSet<QString> seen;
    for (const History::Record &r : rows) {
        const QString &x = r.result;
        (x == QLatin1String("done")             ? t.done
            : x == QLatin1String("up to date")  ? t.upToDate
            : x == QLatin1String("refused")     ? t.refused
            : x == QLatin1String("pulled")      ? t.pulled
            : x == QLatin1String("interrupted") ? t.interrupted
                                                : t.failed) += 1;
        // A board is its serial where it has one; each row without one is a board of its own.
        const QString board = r.serial.isEmpty() ? r.uuid : r.serial;
        if (seen.contains(board))
            continue;
        seen.insert(board);
        ++t.boards;
        if (passed(x))
            ++t.firstPass;
    }
    QList<double> seconds;
    QDateTime first, last;
    int ended = 0;
    for (const History::Record &r : rows) {
        if (passed(r.result))
            seconds << r.seconds;
        if (r.started.isValid() && (!first.isValid() || r.started < first))
            first = r.started;
        if (r.ended.isValid() && (!last.isValid() || r.ended > last))
            last = r.ended;
        ended += r.ended.isValid();
    }
    if (!seconds.isEmpty()) {
        std::sort(seconds.begin(), seconds.end());
        const int n = int(seconds.size());
        t.medianSeconds = n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
    }
    // Over a minute at least: the first boards of a lot say little of an hour.
    if (ended > 0 && first.isValid() && last.isValid())
        t.perHour = ended * 3600.0 / double(std::max<qint64>(60, first.secsTo(last)));
    t.inProgress =
        int(std::count_if(places.begin(), places.end(), [](const Place &p) { return p.session && !p.ended; }));
    return t;
}

void Station::look()
{
    const QList<Device> here = present();
    // A board waiting to come back in DFU mode whose port now holds another board in its
    // application was pulled before anything was written; the new one is taken below.
    for (auto it = places.begin(); it != places.end(); ++it) {
        Place &p = it.value();
        if (!p.session || p.ended || !p.session->waitingForDfu())
            continue;
        const std::optional<Device> d = deviceAt(here, it.key());
        if (d && !d->dfuMode() && anotherBoard(*d, *p.session))
            p.session->pulled(QStringLiteral("pulled before it reached DFU mode; nothing was written"));
    }
    for (auto it = places.begin(); it != places.end(); ++it) {
        Place &p = it.value();
        if (!p.session || p.ended || !p.session->over())
            continue;
        finish(p);
    }
    for (auto it = places.begin(); it != places.end(); ++it) {
        Place &p = it.value();
        if (!p.ended)
            continue;
        const std::optional<Device> d = deviceAt(here, it.key());
        const bool missing = p.session->result() == Session::Result::Missing;
        if (!d) {
            // Gone: the next board here is a new arrival, a re-seated one too. One given up
            // while it restarted may still come back, and is then the same record.
            if (missing) {
                p.emptySinceEnd = true;
            } else {
                p = Place();
                if (left)
                    left(it.key());
            }
        } else if (anotherBoard(*d, *p.session)) {
            p = Place();
            if (left)
                left(it.key());
        } else if (missing && p.emptySinceEnd && !draining_) {
            const std::shared_ptr<Session> earlier = p.session;
            take(*d, p, earlier);
        }
    }
    // Boards that wait while the station is drained, and those that left meanwhile.
    for (const QString &port : QSet<QString>(heldPorts)) {
        if (!deviceAt(here, port) || !draining_) {
            heldPorts.remove(port);
            if (!deviceAt(here, port) && left)
                left(port);
        }
    }
    if (draining_ && !stopping) {
        for (const Device &d : here) {
            if (!places.value(d.location).session && !heldPorts.contains(d.location)) {
                heldPorts.insert(d.location);
                if (held)
                    held(d);
            }
        }
    }
    if (!draining_) {
        for (const Device &d : here) {
            const int running =
                int(std::count_if(places.begin(), places.end(), [](const Place &p) { return p.session && !p.ended; }));
            if (settings_.count > 0 && endedBoards + running >= settings_.count)
                break;
            Place &p = places[d.location];
            if (!p.session)
                take(d, p, nullptr);
        }
    }
    bool busy = false;
    for (Place &p : places) {
        if (!p.session || p.ended)
            continue;
        p.session->advance();
        if (p.session->over())
            finish(p);
        else
            busy = true;
    }
    const QStringList said = history.takeProblems();
    for (const QString &text : said) {
        if (problem)
            problem(text);
    }
    // Looked at less often while nothing runs: an idle station costs next to nothing.
    const int interval = busy ? settings_.lookMs : std::max(settings_.lookMs, settings_.idleLookMs);
    if (timer.interval() != interval)
        timer.setInterval(interval);
    const bool counted = settings_.count > 0 && endedBoards >= settings_.count;
    if ((draining_ || counted) && !busy && !finished_) {
        finished_ = true;
        if (over)
            over();
    }
}

} // namespace update
