#include "HistoryWriter.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace update {

namespace {

// Between two tries of a history that is busy or cannot be written.
constexpr std::chrono::milliseconds RetryPause{500};

} // namespace

HistoryWriter::HistoryWriter(const QString &path, const QString &central) : path(path)
{
    if (path.isEmpty())
        return;
    if (!central.isEmpty())
        forwarder = std::make_unique<Forwarder>(path, central);
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
    }
    wake.notify_all();
    thread.join();
    forwarder.reset();
}

void HistoryWriter::put(const History::Record &record)
{
    if (path.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(mutex);
    ++puts;
    // A newer copy of the row may be recorded even if an older one was given up.
    failures.remove(record.uuid);
    const auto same =
        std::find_if(queue.begin(), queue.end(), [&](const History::Record &r) { return r.uuid == record.uuid; });
    if (same != queue.end()) {
        *same = record;
        return;
    }
    if (int(queue.size()) >= MaxQueued) {
        giveUp(record, QStringLiteral("too many rows wait for the history at %1").arg(path));
        return;
    }
    queue.push_back(record);
    wake.notify_one();
}

void HistoryWriter::run()
{
    // The connection is made, used and closed on this thread only, as Qt SQL requires.
    std::unique_ptr<History> history;
    auto retryAt = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (stopping)
            break;
        if (queue.empty()) {
            wake.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < retryAt) {
            wake.wait_until(lock, retryAt);
            continue;
        }
        const History::Record record = queue.front();
        queue.pop_front();
        writing = true;
        inFlight = record.uuid;
        lock.unlock();
        if (!history || !history->isOpen())
            history = std::make_unique<History>(path);
        bool retry = false;
        const QString why = history->put(record, &retry);
        lock.lock();
        writing = false;
        inFlight.clear();
        if (why.isEmpty()) {
            failures.remove(record.uuid);
            lastFailure.clear();
            if (forwarder && record.ended.isValid())
                forwarder->poke();
        } else {
            lastFailure = why;
            if (retry) {
                say(why + QStringLiteral("; rows wait and are tried again"));
                const bool newer = std::any_of(
                    queue.begin(), queue.end(), [&](const History::Record &r) { return r.uuid == record.uuid; });
                if (!newer)
                    queue.push_front(record);
                retryAt = std::chrono::steady_clock::now() + RetryPause;
            } else {
                say(why);
                giveUp(record, why);
            }
        }
        settled.notify_all();
    }
    for (const History::Record &r : queue)
        giveUp(r, lastFailure);
    queue.clear();
    lock.unlock();
    history.reset();
}

bool HistoryWriter::drain(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    settled.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return queue.empty() && !writing; });
    const QString why =
        lastFailure.isEmpty() ? QStringLiteral("the history at %1 did not answer in time").arg(path) : lastFailure;
    for (const History::Record &r : queue)
        giveUp(r, why);
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
    const bool forward = forwarder && puts != forwardedAt;
    forwardedAt = puts;
    lock.unlock();
    if (forward)
        forwarder->sync(ForwardMs);
    return recorded;
}

QString HistoryWriter::notRecorded(const QString &uuid) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return failures.value(uuid);
}

int HistoryWriter::lostRows() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(failures.size());
}

QStringList HistoryWriter::takeProblems()
{
    QStringList out;
    {
        std::lock_guard<std::mutex> lock(mutex);
        out.swap(news);
    }
    if (forwarder)
        out << forwarder->takeProblems();
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

void HistoryWriter::giveUp(const History::Record &record, const QString &why)
{
    failures.insert(record.uuid, why);
}

} // namespace update
