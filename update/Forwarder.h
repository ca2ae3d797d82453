#pragma once

// Sends the rows of the local history to the central one and marks them sent, on a thread of
// its own: soon after a row ends, every few seconds besides, and at the end of a front end's
// run. The local history is always written first, so that an update never waits for the
// server: while it is away, refuses the login or is slow, rows wait locally and go, in the
// order they were made, once it answers again. What a user must know comes out once a run
// through takeProblems().

#include "Central.h"
#include "History.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace update {

class Forwarder
{
public:
    // A pass at least this often, and after a failure no sooner than this.
    static constexpr int EveryMs = 3000;
    // After a row ends, so that the rows of boards ending together go in one transaction.
    static constexpr int SettleMs = 200;
    // Rows sent in one transaction at most.
    static constexpr int Batch = 200;
    // A pass that takes longer has its connection ended: the rows wait for the next one.
    static constexpr int PassDeadlineMs = 20000;

    struct Tally
    {
        int sent = 0;
        int setAside = 0; // rows the server refused, set aside with its reason
        int waiting = -1; // -1: not known (the local history cannot be read)
        QString problem; // why rows wait; empty when none does
        // The problem is the central history\'s (the local one\'s is said by its writer).
        bool centralAway = false;
    };

    // Sends every row that waits in the local history at `historyPath`, in order, on the
    // calling thread; `local` and `central` are opened when they are not, and kept. `connected`
    // hears of each new connection (and of its end, with null); `stop` ends the pass early,
    // at once (it is asked from another thread, every 100 ms). A pass gives up after
    // PassDeadlineMs, and makes a broken connection anew once before it gives up.
    static Tally pass(const QString &historyPath, const QString &connection, std::unique_ptr<History> &local,
        std::unique_ptr<Central> &central, const std::function<void(Central *)> &connected = {},
        const std::function<bool()> &stop = {});

    Forwarder(const QString &historyPath, const QString &connection);
    // Stops after the pass under way, whose connection is ended.
    ~Forwarder();
    Forwarder(const Forwarder &) = delete;
    Forwarder &operator=(const Forwarder &) = delete;

    // A row has ended: a pass soon.
    void poke();
    // A pass now (also right after a failure), waited for at most `timeoutMs`: true when no row
    // waits. Rows still waiting then are said once, unless a failure was said already.
    bool sync(int timeoutMs);
    // The last pass's figures.
    Tally tally() const;
    QStringList takeProblems();

private:
    void run();

    const QString historyPath;
    const QString connection;
    const QString shown;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable passed;
    bool stopping = false;
    bool poked = false;
    std::chrono::steady_clock::time_point pokedAt; // the first poke since the last pass
    quint64 wanted = 0; // passes asked for by sync()
    quint64 done = 0; // the last of them that has ended
    Tally last;
    bool failing = false;
    bool said = false; // a warning goes out once a run
    QStringList news;
    Central *current = nullptr; // the thread's connection, to cancel a statement under way
    std::thread thread;
};

} // namespace update
