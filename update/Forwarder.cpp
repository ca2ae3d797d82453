#include "Forwarder.h"

#include <QFileInfo>
#include <QtDebug>

#include <chrono>

namespace update {

namespace {

// Watches a pass from a thread of its own: a pass past its deadline, or asked to stop, has its
// connection ended (Central::abort), so that no wait in libpq outlasts it.
class PassWatch
{
public:
    PassWatch(const std::function<bool()> &stop, std::chrono::milliseconds deadline)
        : stop(stop)
        , until(std::chrono::steady_clock::now() + deadline)
        , thread([this] { watch(); })
    { }
    ~PassWatch()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            over = true;
        }
        wake.notify_all();
        thread.join();
    }
    // The connection in use, or null.
    void use(Central *c)
    {
        std::lock_guard<std::mutex> lock(mutex);
        central = c;
        if (central && ended)
            central->abort();
    }
    bool timedOut() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return late;
    }
    bool stopped() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return asked;
    }

private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!over && !ended) {
            wake.wait_for(lock, std::chrono::milliseconds(100));
            if (over)
                break;
            lock.unlock();
            const bool stopNow = stop && stop();
            lock.lock();
            late = !stopNow && std::chrono::steady_clock::now() >= until;
            asked = stopNow;
            if (stopNow || late) {
                ended = true;
                if (central)
                    central->abort();
            }
        }
    }

    const std::function<bool()> stop;
    const std::chrono::steady_clock::time_point until;
    mutable std::mutex mutex;
    std::condition_variable wake;
    Central *central = nullptr;
    bool over = false, ended = false, late = false, asked = false;
    std::thread thread;
};

} // namespace

Forwarder::Tally Forwarder::pass(const QString &historyPath, const QString &connection, std::unique_ptr<History> &local,
    std::unique_ptr<Central> &central, const std::function<void(Central *)> &connected,
    const std::function<bool()> &stop)
{
    Tally t;
    if (!local || !local->isOpen()) {
        // Made by its writer: a history that is not there has nothing to send.
        if (!QFileInfo::exists(historyPath)) {
            t.waiting = 0;
            return t;
        }
        local = std::make_unique<History>(historyPath);
    }
    if (!local->isOpen()) {
        t.problem = local->problem();
        return t;
    }
    PassWatch watch(stop, std::chrono::milliseconds(PassDeadlineMs));
    const auto use = [&](Central *c) {
        watch.use(c);
        if (connected)
            connected(c);
    };
    // A connection that broke since the last pass (a server restarted) is made anew once.
    int reconnects = 1;
    for (;;) {
        const QList<History::Unsent> rows = local->unsent(Batch);
        if (!local->isOpen()) {
            t.problem = local->problem();
            break;
        }
        if (rows.isEmpty())
            break;
        // Connected only when there is something to send; a connection kept from the last
        // pass is watched as a new one is.
        if (!central || !central->isOpen()) {
            use(nullptr);
            central = std::make_unique<Central>(connection);
        }
        use(central->isOpen() ? central.get() : nullptr);
        Central::Put put = central->isOpen() ? central->put(rows) : Central::Put::Broken;
        if (put == Central::Put::Broken) {
            if (reconnects-- > 0 && !watch.stopped() && !watch.timedOut() && !(stop && stop())) {
                use(nullptr);
                central.reset();
                continue;
            }
            t.problem = watch.timedOut() ? QStringLiteral("the central history at %1 did not answer within %2 s")
                                               .arg(central->shown())
                                               .arg(PassDeadlineMs / 1000)
                                         : central->problem();
            t.centralAway = true;
            break;
        }
        // Sent but not marked (the local history is busy): sent again later, which replaces
        // the copy by itself.
        QList<History::Unsent> stored = rows;
        if (put == Central::Put::Refused) {
            // One row the server will not take must not hold the rest: row by row, and the
            // refused ones set aside with the server's reason.
            stored.clear();
            for (const History::Unsent &row : rows) {
                put = central->put({row});
                if (put == Central::Put::Stored) {
                    stored << row;
                } else if (put == Central::Put::Refused) {
                    const QString why = local->setAside(row, central->problem());
                    if (!why.isEmpty()) {
                        t.problem = why;
                        break;
                    }
                    ++t.setAside;
                    qWarning("Central history: row %s set aside: %s", qPrintable(row.record.uuid),
                        qPrintable(central->problem()));
                } else {
                    t.problem = central->problem();
                    t.centralAway = true;
                    break;
                }
            }
        }
        const QString why = stored.isEmpty() ? QString() : local->markSent(stored);
        if (!why.isEmpty() && t.problem.isEmpty())
            t.problem = why;
        t.sent += int(stored.size());
        if (!t.problem.isEmpty() || (stop && stop()))
            break;
    }
    // A connection ended by the watch is of no more use.
    use(nullptr);
    if (central && !central->isOpen())
        central.reset();
    t.waiting = local->isOpen() ? local->unsentCount() : -1;
    return t;
}

Forwarder::Forwarder(const QString &historyPath, const QString &connection)
    : historyPath(historyPath)
    , connection(connection)
    , shown(maskedConnection(connection))
{
    thread = std::thread([this] { run(); });
}

Forwarder::~Forwarder()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        if (current)
            current->abort();
    }
    wake.notify_all();
    thread.join();
}

void Forwarder::poke()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!poked)
            pokedAt = std::chrono::steady_clock::now();
        poked = true;
    }
    wake.notify_all();
}

bool Forwarder::sync(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    const quint64 ticket = ++wanted;
    wake.notify_all();
    const bool ended =
        passed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done >= ticket || stopping; });
    const bool clear = ended && done >= ticket && last.waiting == 0 && last.problem.isEmpty();
    if (!clear && !said) {
        said = true;
        // A pass still under way has not counted: the local history says what waits.
        int waiting = last.waiting;
        if (!ended || done < ticket) {
            lock.unlock();
            waiting = History(historyPath, History::Mode::Read).unsentCount();
            lock.lock();
        }
        news << QStringLiteral("Central history at %1: %2 rows wait in the local history; \"tolvex-dfu history "
                               "--sync\" sends them")
                    .arg(shown, waiting < 0 ? QStringLiteral("the") : QString::number(waiting));
    }
    return clear;
}

Forwarder::Tally Forwarder::tally() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return last;
}

QStringList Forwarder::takeProblems()
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList out;
    out.swap(news);
    return out;
}

void Forwarder::run()
{
    using Clock = std::chrono::steady_clock;
    // The connections are made, used and closed on this thread only, as Qt SQL requires.
    std::unique_ptr<History> local;
    std::unique_ptr<Central> central;
    // The first pass sends what earlier runs left waiting: after a few seconds, or once the first
    // row has ended here, when the history's writer has opened (and checked) the file already.
    auto next = Clock::now() + std::chrono::milliseconds(EveryMs);
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        const bool asked = wanted > done;
        if (!asked) {
            // After a failure, pokes wait for the next regular pass.
            const auto soon = poked && !failing ? std::min(next, pokedAt + std::chrono::milliseconds(SettleMs)) : next;
            if (Clock::now() < soon) {
                wake.wait_until(lock, soon);
                continue;
            }
        }
        const quint64 ticket = wanted;
        poked = false;
        lock.unlock();
        const Tally t = pass(
            historyPath, connection, local, central,
            [this](Central *c) {
                std::lock_guard<std::mutex> guard(mutex);
                current = c;
            },
            [this] {
                std::lock_guard<std::mutex> guard(mutex);
                return stopping;
            });
        lock.lock();
        if (!t.problem.isEmpty() && !t.centralAway) {
            qDebug("Central history: %s; tried again", qPrintable(t.problem));
        } else if (!t.problem.isEmpty() && !said) {
            said = true;
            news << QStringLiteral("Central history: %1; rows wait in the local history and are sent when it answers")
                        .arg(t.problem);
        } else if (t.problem.isEmpty() && failing && t.sent > 0) {
            qInfo("Central history at %s answers again: %d rows sent", qPrintable(shown), t.sent);
        }
        failing = !t.problem.isEmpty();
        last = t;
        done = ticket;
        next = Clock::now() + std::chrono::milliseconds(EveryMs);
        passed.notify_all();
    }
    current = nullptr;
    lock.unlock();
    central.reset();
    local.reset();
}

} // namespace update
