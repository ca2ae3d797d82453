#pragma once

// Sends the rows of the local history to the central one and marks them sent: a pass, on the
// calling thread. The history thread (HistoryWriter) runs one between its writes; `tolvex-dfu
// history --sync` runs one at once. The local history is always written first, so that an
// update never waits for the server: while it is away, refuses the login or is slow, rows wait
// locally and go, in the order they were made, once it answers again.

#include "Central.h"
#include "History.h"

#include <QString>

#include <functional>
#include <memory>

namespace update {

struct Forwarder
{
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
        // The problem is the central history's (the local one's is said by its writer).
        bool centralAway = false;
    };

    // Sends every row that waits in `local` (open for writing), in order; `central` is connected
    // when it is not, and kept. `stop`, asked from another thread every 100 ms, ends the pass at
    // once, its connection with it; `yield`, asked between two batches, ends the pass there. A
    // pass gives up after PassDeadlineMs, and makes a broken connection anew once before it
    // gives up.
    static Tally pass(History &local, const QString &connection, std::unique_ptr<Central> &central,
        const std::function<bool()> &stop = {}, const std::function<bool()> &yield = {});
};

} // namespace update
