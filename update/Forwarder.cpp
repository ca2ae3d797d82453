#include "Forwarder.h"

#include <QFileInfo>
#include <QtDebug>

#include <chrono>

namespace update {

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
    for (;;) {
        const QList<History::Unsent> rows = local->unsent(Batch);
        if (!local->isOpen()) {
            t.problem = local->problem();
            return t;
        }
        if (rows.isEmpty())
            break;
        // Connected only when there is something to send.
        if (!central || !central->isOpen()) {
            if (connected)
                connected(nullptr);
            central = std::make_unique<Central>(connection);
            if (connected && central->isOpen())
                connected(central.get());
        }
        if (!central->isOpen() || !central->put(rows)) {
            t.problem = central->problem();
            t.centralAway = true;
            break;
        }
        // Sent but not marked (the local history is busy): sent again later, which replaces
        // the copy by itself.
        const QString why = local->markSent(rows);
        if (!why.isEmpty()) {
            t.problem = why;
            break;
        }
        t.sent += int(rows.size());
        if (stop && stop())
            break;
    }
    t.waiting = local->unsentCount();
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
            current->cancel();
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
        news << QStringLiteral("Central history at %1: %2 rows wait in the local history; \"tolvex-dfu history "
                               "--sync\" sends them")
                    .arg(shown, last.waiting < 0 ? QStringLiteral("the") : QString::number(last.waiting));
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
