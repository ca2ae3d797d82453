#pragma once

// The central history: the rows of every station of a factory in one PostgreSQL database,
// reached through Qt SQL's PostgreSQL driver. Each station writes its local history first and
// forwards its rows here (Forwarder); the support desk asks it with `tolvex-dfu history
// --central`. A row is stored by its identifier, and only a newer revision of it replaces it,
// so that sending a row twice, or two forwarders of one local history at once, never make two.

#include "Outcome.h"
#include "History.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <mutex>

namespace update {

// What the history thread is told besides the history's path: central.conf's connection, and
// its settings, each a line "name = value".
struct HistorySettings
{
    // Where the central history is: a libpq connection URI (postgresql://user@host:port/db?...)
    // or key=value string (service=NAME). Empty: none.
    QString central;
    QString origin; // where `central` came from: "--central", or a central.conf's path
    int keepDays = 0; // keep-days: local rows older than this many days go; 0: every row is kept
    // station-name: recorded as each row's host, for stations cloned from one image that share
    // a host name; empty: the machine's host name
    QString stationName;
};
// The connection given with --central, or else the first line of
// $XDG_CONFIG_HOME/tolvex-dfu/central.conf or of central.conf in the machine's settings folder
// (/etc/tolvex-dfu; none in the tests, so that no machine's central history is written by
// them), and central.conf's settings, each from the first file that has it. Refused for a file
// or a setting that cannot be read: `settings` then holds what could be, and never a
// connection guessed past an unreadable file.
Outcome historySettings(const QString &given, HistorySettings &settings);
// The settings lines of a central.conf, into those of `into` that no earlier file gave;
// `given` names them. Refused for the first setting that cannot be read; the others are read.
Outcome readHistorySettings(const QByteArray &text, HistorySettings &into, QStringList &given);
// The connection as it may be shown: any password replaced by "****".
QString maskedConnection(const QString &connection);
// The first line of a central.conf that is neither blank, a comment nor a setting.
QString centralLineOf(const QByteArray &text);
// The connection as Qt's PostgreSQL driver takes it, read by libpq; Refused when it cannot be.
Outcome centralDriverOptions(const QString &connection, QString &options);

class Central
{
public:
    // The central schema this program writes.
    // 2: rows have owners (written_by), and row-level security keeps them.
    // 3: indexes for the support desk's questions by file, hash, result and label.
    static constexpr int SchemaVersion = 3;

    // Write: for a forwarder, which creates the schema when it is missing. Read: for the
    // support desk, which needs the right to read the view only.
    enum class Mode { Write, Read };

    // Connects, on the calling thread (the connection is used there only).
    explicit Central(const QString &connection, Mode mode = Mode::Write);
    ~Central();
    Central(const Central &) = delete;
    Central &operator=(const Central &) = delete;

    bool isOpen() const { return open; }
    // Why it is not open, or why the last call failed; names the store masked.
    const QString &problem() const { return problem_; }
    const QString &shown() const { return shown_; }

    // Stores the rows in one transaction; each replaces an older revision of itself (of its own
    // writer: another role's row is refused). Refused: the server refused a row, and the
    // connection still serves; Unavailable: the connection is closed, and a new Central tries
    // again. problem() says the same.
    Outcome put(const QList<History::Unsent> &rows);
    // The rows, oldest first, as History::rows() gives them.
    QList<History::Record> rows(const History::Filter &filter);
    // How the server answers rows(filter), a line a step; with `indexesOnly`, as it does when it
    // may not read the whole table (which it prefers while the table is small).
    QStringList plan(const History::Filter &filter, bool indexesOnly);
    // Ends the connection at once, from any thread: a statement under way, or a wait for the
    // server, fails on the thread that uses it (whose problem() says so).
    void abort();

private:
    bool prepareSchema();
    void fail(const QString &doing, const QString &why);

    QString connection;
    QString shown_;
    QString problem_;
    bool open = false;
    bool stationColumns = true; // operator_name, lot and scanned_label: schema 3 on
    std::mutex cancelMutex;
    int socket = -1; // a duplicate of the connection's socket, for abort()
};

} // namespace update
