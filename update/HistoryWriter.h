#pragma once

// Writes history rows on a thread of its own, so that a locked, slow or full history delays no
// slot, poll or return of a front end. Rows wait in a queue (one entry per row identifier: a
// newer copy replaces one not yet written) and are tried again while the history is busy or
// cannot be written; a history that is not ours is never retried. What a user must know (rows
// not recorded) comes out once through takeProblems(), on the front end's own thread. With a
// central history, a Forwarder sends the rows on once they are written here.

#include "Forwarder.h"
#include "History.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace update {

class HistoryWriter
{
public:
    // How long a front end waits at its end for the rows still queued.
    static constexpr int DrainMs = 3000;
    // Rows waiting at most; a newer one beyond is not recorded (and said so).
    static constexpr int MaxQueued = 1024;

    // How long a front end waits at its end for the rows to reach the central history.
    static constexpr int ForwardMs = 3000;

    // An empty path keeps no history: put() does nothing. A `central` connection (see
    // centralConnection()) forwards every row of the history there.
    explicit HistoryWriter(const QString &path, const QString &central = QString());
    // Drains for DrainMs, then stops after the statement under way.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter &) = delete;
    HistoryWriter &operator=(const HistoryWriter &) = delete;

    bool keeps() const { return !path.isEmpty(); }
    // Queues the row, whole, to be written by its identifier; never waits on the database.
    void put(const History::Record &record);
    // Waits until every row put so far is written or given up, or `timeoutMs` passed; rows
    // still waiting then are given up; then, for ForwardMs at most, until the rows are in the
    // central history (those that are not wait locally). True when every row was recorded.
    bool drain(int timeoutMs = DrainMs);
    // Why the row `uuid` is not recorded: empty when it is, or may still be.
    QString notRecorded(const QString &uuid) const;
    // Rows given up so far.
    int lostRows() const;
    // What is new to say: the first failure of each kind, rows given up at the end.
    QStringList takeProblems();

private:
    void run();
    void say(const QString &text); // under the lock
    void giveUp(const History::Record &record, const QString &why); // under the lock

    const QString path;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable settled;
    std::deque<History::Record> queue;
    bool writing = false; // a row is out of the queue and being written
    QString inFlight; // its identifier
    int reportedLost = 0;
    bool stopping = false;
    quint64 puts = 0; // rows put so far
    quint64 forwardedAt = 0; // `puts` when drain() last waited for the central history
    QHash<QString, QString> failures; // uuid -> why, for rows given up
    QString lastFailure;
    QStringList said, news;
    std::unique_ptr<Forwarder> forwarder;
    std::thread thread;
};

} // namespace update
