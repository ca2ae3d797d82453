#include "Forwarder.h"

#include <QtDebug>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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

Forwarder::Tally Forwarder::pass(History &local, const QString &connection, std::unique_ptr<Central> &central,
    const std::function<bool()> &stop, const std::function<bool()> &yield)
{
    Tally t;
    if (!local.isOpen()) {
        t.problem = local.problem();
        return t;
    }
    PassWatch watch(stop, std::chrono::milliseconds(PassDeadlineMs));
    const auto use = [&](Central *c) { watch.use(c); };
    // A connection that broke since the last pass (a server restarted) is made anew once.
    int reconnects = 1;
    for (;;) {
        const QList<History::Unsent> rows = local.unsent(Batch);
        if (!local.isOpen()) {
            t.problem = local.problem();
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
        Outcome put = central->put(rows);
        if (put.kind() == Outcome::Kind::Unavailable) {
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
        if (put.kind() == Outcome::Kind::Refused) {
            // One row the server will not take must not hold the rest: row by row, and the
            // refused ones set aside with the server's reason.
            stored.clear();
            for (const History::Unsent &row : rows) {
                put = central->put({row});
                if (put) {
                    stored << row;
                } else if (put.kind() == Outcome::Kind::Refused) {
                    const Outcome kept = local.setAside(row, put.message());
                    if (!kept) {
                        t.problem = kept.message();
                        break;
                    }
                    ++t.setAside;
                    qWarning("Central history: row %s set aside: %s", qPrintable(row.record.uuid),
                        qPrintable(put.message()));
                } else {
                    t.problem = put.message();
                    t.centralAway = true;
                    break;
                }
            }
        }
        const Outcome marked = stored.isEmpty() ? Outcome::ok() : local.markSent(stored);
        if (!marked && t.problem.isEmpty())
            t.problem = marked.message();
        t.sent += int(stored.size());
        if (!t.problem.isEmpty() || (stop && stop()) || (yield && yield()))
            break;
    }
    // A connection ended by the watch is of no more use.
    use(nullptr);
    if (central && !central->isOpen())
        central.reset();
    t.waiting = local.isOpen() ? local.unsentCount() : -1;
    return t;
}

} // namespace update
