#include "HistoryWriter.h"

#include <QFileInfo>
#include <QtDebug>

#include <algorithm>

namespace update {

namespace {

// Between two tries of a history that is busy or cannot be written.
constexpr std::chrono::milliseconds RetryPause{500};
// Rows a pruning transaction deletes at most: a few milliseconds of the file's write lock.
constexpr int PruneBatch = 500;

} // namespace

HistoryWriter::HistoryWriter(const QString &path, const QString &central)
    : HistoryWriter(path, HistorySettings{central, QString(), 0, QString()})
{ }

HistoryWriter::HistoryWriter(const QString &path, const HistorySettings &settings)
    : path(path)
    , settings(settings)
    , shownCentral(maskedConnection(settings.central))
{
    if (path.isEmpty())
        return;
    lastActive = Clock::now();
    // The first pass sends what earlier runs left waiting, after a few seconds, or once the
    // first row has ended here.
    nextPass = lastActive + std::chrono::milliseconds(Forwarder::EveryMs);
    thread = std::thread([this] { run(); });
}

HistoryWriter::~HistoryWriter()
{
    if (!thread.joinable())
        return;
    drain();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        if (current && idling)
            current->interrupt();
    }
    wake.notify_all();
    thread.join();
}

void HistoryWriter::put(const History::Record &record)
{
    if (path.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(mutex);
    ++puts;
    lastActive = Clock::now();
    // A newer copy of the row may be recorded even if an older one was given up.
    failures.remove(record.uuid);
    History::Record named = record;
    if (!settings.stationName.isEmpty())
        named.host = settings.stationName;
    const auto same =
        std::find_if(queue.begin(), queue.end(), [&](const History::Record &r) { return r.uuid == record.uuid; });
    if (same != queue.end()) {
        *same = named;
        return;
    }
    if (int(queue.size()) >= MaxQueued) {
        failures.insert(record.uuid, QStringLiteral("too many rows wait for the history at %1").arg(path));
        return;
    }
    queue.push_back(named);
    if (passing && !waitingBehindPass) {
        waitingBehindPass = true;
        waitingSince = lastActive;
    }
    // The idle work gives way at once: its statement stops, and runs again another time.
    if (current && idling)
        current->interrupt();
    wake.notify_all();
}

History *HistoryWriter::history(bool create)
{
    // The connection is made, used and closed on this thread only, as Qt SQL requires.
    if (open && open->isOpen())
        return open.get();
    // Made by its first row: a history that is not there has nothing to send or prune.
    if (!create && !QFileInfo::exists(path))
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = nullptr;
    }
    open = std::make_unique<History>(path);
    std::lock_guard<std::mutex> lock(mutex);
    current = open.get();
    return open->isOpen() ? open.get() : nullptr;
}

void HistoryWriter::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (stopping)
            break;
        const Clock::time_point now = Clock::now();
        if (!queue.empty() && now >= retryAt) {
            History::Record record = queue.front();
            queue.pop_front();
            writeRow(lock, record);
            continue;
        }
        if (!settings.central.isEmpty() && (wanted > done || now >= passDue())) {
            forward(lock);
            continue;
        }
        const Clock::time_point idleAt = lastActive + std::chrono::milliseconds(IdleMs);
        // The idle work at most once an hour: it looks only when a day has passed since the
        // check, and keep-days counts in days.
        const bool idleDue = !idleDone || now - idleDoneAt >= std::chrono::hours(1);
        if (queue.empty() && idleDue && now >= idleAt) {
            idleWork(lock);
            continue;
        }
        Clock::time_point until = Clock::time_point::max();
        if (!queue.empty())
            until = retryAt;
        if (!settings.central.isEmpty())
            until = std::min(until, passDue());
        if (queue.empty() && idleDue)
            until = std::min(until, idleAt);
        if (until == Clock::time_point::max())
            wake.wait(lock);
        else
            wake.wait_until(lock, until);
    }
    for (const History::Record &r : queue)
        failures.insert(r.uuid, lastFailure);
    queue.clear();
    lock.unlock();
    // The end of a run: what keep-days leaves behind goes, for a moment at most.
    if (settings.keepDays > 0) {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(EndPruneMs);
        prune([end] { return Clock::now() < end; });
    }
    lock.lock();
    current = nullptr;
    lock.unlock();
    central.reset();
    open.reset();
}

void HistoryWriter::writeRow(std::unique_lock<std::mutex> &lock, History::Record record)
{
    writing = true;
    inFlight = record.uuid;
    lock.unlock();
    // A history that cannot be opened says why through put(), and whether to try again.
    history(true);
    const Outcome written = open->put(record);
    const QString &why = written.message();
    const bool retry = written.kind() == Outcome::Kind::Unavailable;
    lock.lock();
    writing = false;
    inFlight.clear();
    lastActive = Clock::now();
    if (written) {
        failures.remove(record.uuid);
        lastFailure.clear();
        if (record.ended.isValid() && !poked) {
            poked = true;
            pokedAt = lastActive;
        }
    } else {
        lastFailure = why;
        if (retry) {
            say(why + QStringLiteral("; rows wait and are tried again"));
            const bool newer = std::any_of(
                queue.begin(), queue.end(), [&](const History::Record &r) { return r.uuid == record.uuid; });
            if (!newer)
                queue.push_front(record);
            retryAt = lastActive + RetryPause;
        } else {
            say(why);
            failures.insert(record.uuid, why);
        }
    }
    settled.notify_all();
}

HistoryWriter::Clock::time_point HistoryWriter::passDue() const
{
    // After a failure, rows that end wait for the next regular pass.
    return poked && !failing ? std::min(nextPass, pokedAt + std::chrono::milliseconds(Forwarder::SettleMs)) : nextPass;
}

bool HistoryWriter::othersWait() const
{
    return stopping || !queue.empty();
}

void HistoryWriter::forward(std::unique_lock<std::mutex> &lock)
{
    const quint64 ticket = wanted;
    poked = false;
    passing = true;
    waitingBehindPass = false;
    lock.unlock();
    Forwarder::Tally t;
    if (History *h = history(false)) {
        t = Forwarder::pass(
            *h, settings.central, central,
            // A row that waits behind a server that does not answer ends the pass's connection.
            [this] {
                std::lock_guard<std::mutex> guard(mutex);
                return stopping
                       || (waitingBehindPass && Clock::now() - waitingSince >= std::chrono::milliseconds(WriteFirstMs));
            },
            [this] {
                std::lock_guard<std::mutex> guard(mutex);
                return othersWait();
            });
        if (h->isDamaged())
            h->replaceDamaged();
    } else if (!QFileInfo::exists(path)) {
        t.waiting = 0;
    } else {
        t.problem = open ? open->problem() : QString();
    }
    lock.lock();
    passing = false;
    // A pass cut short so that rows are written first failed nothing.
    const bool gaveWay = waitingBehindPass && !stopping;
    if (!t.problem.isEmpty() && !t.centralAway) {
        qDebug("Central history: %s; tried again", qPrintable(t.problem));
    } else if (!t.problem.isEmpty() && !gaveWay) {
        sayCentral(QStringLiteral("Central history: %1; rows wait in the local history and are sent when it answers")
                       .arg(t.problem));
    } else if (t.problem.isEmpty() && failing && t.sent > 0) {
        qInfo("Central history at %s answers again: %d rows sent", qPrintable(shownCentral), t.sent);
    }
    failing = !t.problem.isEmpty() && !gaveWay;
    last = t;
    // A pass that gave way goes on right after the rows are written.
    if (gaveWay || (t.problem.isEmpty() && t.waiting > 0)) {
        poked = true;
        pokedAt = Clock::now() - std::chrono::milliseconds(Forwarder::SettleMs);
    } else {
        done = ticket;
    }
    nextPass = Clock::now() + std::chrono::milliseconds(Forwarder::EveryMs);
    waitingBehindPass = false;
    passed.notify_all();
}

void HistoryWriter::idleWork(std::unique_lock<std::mutex> &lock)
{
    idling = true;
    lock.unlock();
    // No board waits on this thread: a row put meanwhile waits in the queue, in memory, and
    // interrupts the statement under way, which runs again at another idle moment. Readers of
    // the history go on beside it, under write-ahead logging.
    const auto more = [this] {
        std::lock_guard<std::mutex> guard(mutex);
        return !othersWait();
    };
    bool whole = true;
    if (settings.keepDays > 0)
        prune(more);
    if (more()) {
        if (History *h = history(false))
            h->checkIfDue(CheckEverySeconds);
    } else {
        whole = false;
    }
    whole = whole && more();
    lock.lock();
    idling = false;
    lastActive = Clock::now();
    if (whole) {
        idleDone = true;
        idleDoneAt = lastActive;
    }
}

void HistoryWriter::prune(const std::function<bool()> &more)
{
    History *h = history(false);
    if (!h)
        return;
    const QDateTime before = QDateTime::currentDateTimeUtc().addDays(-settings.keepDays);
    // Without a central history, the rows are kept nowhere else: keep-days says how long.
    const bool centralOnly = !settings.central.isEmpty();
    qint64 deleted = 0;
    const QString why = h->prune(before, centralOnly, PruneBatch, deleted, more);
    if (!why.isEmpty())
        qDebug("History: %s", qPrintable(why));
    if (deleted > 0)
        qInfo("History: %lld rows older than %d days deleted from %s%s", deleted, settings.keepDays, qPrintable(path),
            centralOnly ? " (the central history holds them)" : "");
}

bool HistoryWriter::drain(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    settled.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return queue.empty() && !writing; });
    const QString why =
        lastFailure.isEmpty() ? QStringLiteral("the history at %1 did not answer in time").arg(path) : lastFailure;
    for (const History::Record &r : queue)
        failures.insert(r.uuid, why);
    queue.clear();
    if (writing)
        failures.insert(inFlight, why); // recorded after all if its write succeeds
    const int lost = int(failures.size());
    if (lost > reportedLost) {
        news << QStringLiteral("History: %1 update row%2 not recorded: %3")
                    .arg(lost)
                    .arg(lost == 1 ? QStringLiteral(" is") : QStringLiteral("s are"), why);
        reportedLost = lost;
    }
    const bool recorded = failures.isEmpty();
    // Once for the rows put since the last time (the end of a front end, then its writer's).
    if (settings.central.isEmpty() || puts == forwardedAt)
        return recorded;
    forwardedAt = puts;
    // A pass now (also right after a failure), waited for at most ForwardMs.
    const quint64 ticket = ++wanted;
    wake.notify_all();
    const bool ended =
        passed.wait_for(lock, std::chrono::milliseconds(ForwardMs), [&] { return done >= ticket || stopping; });
    const bool clear = ended && done >= ticket && last.waiting == 0 && last.problem.isEmpty();
    if (!clear && !centralSaid) {
        // A pass still under way has not counted: the local history says what waits.
        int waiting = last.waiting;
        if (!ended || done < ticket) {
            lock.unlock();
            waiting = History(path, History::Mode::Read).unsentCount();
            lock.lock();
        }
        sayCentral(QStringLiteral("Central history at %1: %2 rows wait in the local history; \"tolvex-dfu history "
                                  "--sync\" sends them")
                       .arg(shownCentral, waiting < 0 ? QStringLiteral("the") : QString::number(waiting)));
    }
    return recorded;
}

Outcome HistoryWriter::recorded(const QString &uuid) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto failed = failures.constFind(uuid);
    return failed == failures.constEnd() ? Outcome::ok() : Outcome::failed(*failed);
}

int HistoryWriter::lostRows() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(failures.size());
}

QStringList HistoryWriter::takeProblems()
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList out;
    out.swap(news);
    return out;
}

void HistoryWriter::say(const QString &text)
{
    const QString line = QStringLiteral("History: ") + text;
    if (!said.contains(line)) {
        said << line;
        news << line;
    }
}

void HistoryWriter::sayCentral(const QString &text)
{
    if (!centralSaid) {
        centralSaid = true;
        news << text;
    }
}

} // namespace update
