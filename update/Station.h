#pragma once

// A production station's rules, for every front end: the ports and the board at each, which
// board is which (a restart, a swap, a re-seat, a pull), one record per board, the count, the
// drain, the scanned labels and the tally of the lot. Driven by the event loop of the thread
// that makes it (a timer looks at the bus every few milliseconds); what happens is told through
// the callbacks, which a terminal prints and a screen draws.

#include "HistoryWriter.h"
#include "Session.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QTimer>

#include <functional>
#include <memory>

namespace update {

class Station
{
public:
    enum class Scan { Off, Optional, Required };
    struct Settings
    {
        // The road of every board; its arrivalTimeoutMs is the restart wait.
        Session::Settings road;
        // Where the history is (the serials it knows of boot loaders); empty: none is kept.
        QString historyPath;
        Selection only; // USB ids
        QStringList ports; // only these; empty: every port
        QMap<QString, QString> labels; // port -> the fixture's name of it
        int count = 0; // stop taking boards after this many have ended (0: never)
        QString operatorName;
        QString lot;
        Scan scan = Scan::Off;
        int lookMs = 20; // while boards run: their sessions are stepped at each look
        int idleLookMs = 100; // while none runs: a board plugged in is taken within this
    };
    // Counted by board record: a board that comes back after its record ended changes that record.
    struct Tally
    {
        int done = 0;
        int upToDate = 0;
        int refused = 0;
        int failed = 0; // failed, missing, replaced
        int pulled = 0;
        int interrupted = 0;
        int inProgress = 0;
        int boards = 0; // boards seen (by serial where one is known)
        int firstPass = 0; // of them, done or up to date at their first attempt
        double medianSeconds = 0; // of the boards done or up to date
        double perHour = 0; // records ended an hour, from the first start to the last end
    };

    Station(const Settings &settings, HistoryWriter &history);
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Reads the lot's earlier rows (so that its tally goes on where a restart left it) and
    // begins to look at the bus.
    void start();
    // Takes no new boards; the running ones finish.
    void drain();
    // Takes boards again after a drain.
    void resume();
    // The rows from now on are of `lot`, and the tally is that lot's (from the history, where it
    // began before); the boards at the ports stay dealt with. For a drained station.
    void beginLot(const QString &lot);
    // Stops the running boards between two transfers, and takes no new ones.
    void stop();
    bool draining() const { return draining_; }
    // Drained (or counted out) with no board running: nothing more will happen.
    bool finished() const { return finished_; }
    // A label read by a scanner: it pairs with the next board to arrive.
    void scanned(const QString &label);
    const QString &pendingScan() const { return scan_; }
    // The label scanned for the board at `port`, empty when none.
    QString scannedLabelAt(const QString &port) const { return places.value(port).scannedLabel; }

    Tally tally() const;
    // Whether some board was stopped by stop() or ended not done.
    bool anyStopped() const { return stoppedBoards > 0; }
    const Settings &settings() const { return settings_; }
    QString labelOf(const QString &port) const { return settings_.labels.value(port); }

    // A board taken at its port (the session not yet started).
    std::function<void(const Session &, const Device &)> arrived;
    std::function<void(const Session &, const QString &)> noted;
    std::function<void(const Session &, const Session::Progress &)> progressed;
    // A board's end, with its row as recorded; `again` when the row was ended before (the board
    // came back after its record was given up).
    std::function<void(const Session &, const History::Record &, bool again)> ended;
    std::function<void(const QString &)> problem;
    // The board dealt with at `port` has left it (or another board took its place); or a board
    // held there while the station was drained has.
    std::function<void(const QString &port)> left;
    // A board plugged in while the station is drained: it waits, untouched, for a resume.
    std::function<void(const Device &)> held;
    std::function<void()> over;

private:
    struct Place
    {
        std::shared_ptr<Session> session;
        bool ended = false; // dealt with: not again until it leaves or another board comes
        bool emptySinceEnd = false; // left its port after its end (a board given up as missing)
        QString scannedLabel;
    };

    void look();
    QList<Device> present();
    void readLot();
    void take(const Device &d, Place &p, const std::shared_ptr<Session> &earlier);
    void finish(Place &p);
    History::Record row(const Session &s, const QString &scannedLabel) const;
    void count(const History::Record &r);

    Settings settings_;
    HistoryWriter &history;
    QTimer timer;
    QMap<QString, Place> places;
    QHash<QString, QString> knownSerials; // "BUS.ADDRESS|boot serial" -> the board's own serial
    // The lot's rows (this run's and, with a lot, earlier runs'), oldest first, by identifier.
    QList<History::Record> rows;
    QHash<QString, int> rowAt;
    int endedBoards = 0;
    int stoppedBoards = 0;
    bool draining_ = false;
    bool stopping = false;
    bool finished_ = false;
    bool changeSaid = false;
    QString scan_;
    QSet<QString> heldPorts;
};

const char *scanName(Station::Scan s);

} // namespace update
