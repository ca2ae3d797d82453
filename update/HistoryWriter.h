#pragma once

// The history thread of a process: it owns the one connection that writes the history, so that
// a locked, slow or full history delays no slot, poll or return of a front end. Rows wait in a
// queue (one entry per row identifier: a newer copy replaces one not yet written) and are tried
// again while the history is busy or cannot be written; a history that is not ours is never
// retried. Between writes it forwards the rows to the central history (Forwarder::pass), and
// while it has nothing else to do it prunes the rows older than keep-days and checks the whole
// file once a day. What a user must know (rows not recorded, a central history away) comes out
// once through takeProblems(), on the front end's own thread.

#include "Central.h"
#include "Forwarder.h"
#include "History.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>
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
    // A row waits at most this long behind a pass to a central history that does not answer:
    // the pass's connection is ended, and the pass tried again after the row is written.
    static constexpr int WriteFirstMs = 1000;
    // Idle this long (nothing queued, no pass due), the thread prunes and checks.
    static constexpr int IdleMs = 2000;
    // The whole-file check at most this often, whichever process runs it.
    static constexpr qint64 CheckEverySeconds = 24 * 3600;
    // At the end of a run, rows older than keep-days are pruned for this long at most; what is
    // left goes at the next idle moment or run.
    static constexpr int EndPruneMs = 1000;

    // An empty path keeps no history: put() does nothing. With a central history (its
    // connection, see centralSettings()) every row of the history is forwarded there.
    explicit HistoryWriter(const QString &path, const QString &central = QString());
    HistoryWriter(const QString &path, const HistorySettings &settings);
    // Drains for DrainMs, then stops after the statement under way.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter &) = delete;
    HistoryWriter &operator=(const HistoryWriter &) = delete;

    bool keeps() const { return !path.isEmpty(); }
    // Queues the row, whole, to be written by its identifier; never waits on the database. A
    // station's name (station-name) is recorded as its host.
    void put(const History::Record &record);
    // Waits until every row put so far is written or given up, or `timeoutMs` passed; rows
    // still waiting then are given up; then, for ForwardMs at most, until the rows are in the
    // central history (those that are not wait locally). True when every row was recorded.
    bool drain(int timeoutMs = DrainMs);
    // Whether the row `uuid` is recorded: Ok when it is, or may still be; Failed, saying why,
    // when it was given up.
    Outcome recorded(const QString &uuid) const;
    // Rows given up so far.
    int lostRows() const;
    // What is new to say: the first failure of each kind, rows given up at the end.
    QStringList takeProblems();

private:
    using Clock = std::chrono::steady_clock;

    void run();
    // Each with the lock released, on the thread: one queued row written; one pass to the
    // central history; pruning and the whole-file check.
    void writeRow(std::unique_lock<std::mutex> &lock, History::Record record);
    void forward(std::unique_lock<std::mutex> &lock);
    void idleWork(std::unique_lock<std::mutex> &lock);
    // The history, opened when it is not (made only when `create`); null when there is none.
    History *history(bool create);
    // Deletes the rows older than keep-days while `more` says so.
    void prune(const std::function<bool()> &more);
    // A pass, or the idle work, should give way: a row waits, or the thread is to stop.
    bool othersWait() const; // under the lock
    // When the next pass is due.
    Clock::time_point passDue() const; // under the lock
    void say(const QString &text); // under the lock
    // The central history's problem, once a run.
    void sayCentral(const QString &text); // under the lock

    const QString path;
    const HistorySettings settings;
    const QString shownCentral;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable settled;
    std::condition_variable passed;
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
    Clock::time_point retryAt; // of a row that could not be written
    Clock::time_point lastActive; // the last row put or written, or pass
    Clock::time_point idleDoneAt; // the idle work last ran to its end
    bool idleDone = false;
    bool idling = false; // the idle work runs: a row put interrupts its statement
    Clock::time_point nextPass;
    bool poked = false; // a row ended since the last pass
    Clock::time_point pokedAt;
    bool passing = false;
    Clock::time_point waitingSince; // of the first row put during the pass under way
    bool waitingBehindPass = false;
    quint64 wanted = 0; // passes asked for by drain()
    quint64 done = 0; // the last of them that has ended
    Forwarder::Tally last; // of the last pass
    bool failing = false; // the last pass failed
    bool centralSaid = false; // a warning of the central history goes out once a run
    std::unique_ptr<History> open; // the thread's own
    std::unique_ptr<Central> central; // the thread's own
    History *current = nullptr; // `open`, for interrupt() from put()
    std::thread thread;
};

} // namespace update
