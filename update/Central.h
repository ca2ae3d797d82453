#pragma once

// The central history: the rows of every station of a factory in one PostgreSQL database,
// reached through Qt SQL's PostgreSQL driver. Each station writes its local history first and
// forwards its rows here (Forwarder); the support desk asks it with `tolvex-dfu history
// --central`. A row is stored by its identifier, and only a newer revision of it replaces it,
// so that sending a row twice, or two forwarders of one local history at once, never make two.

#include "History.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <mutex>

namespace update {

// Where the central history is: a libpq connection URI (postgresql://user@host:port/db?...)
// or key=value string (service=NAME), as given with --central, or else the first line of
// $XDG_CONFIG_HOME/tolvex-dfu/central.conf or of central.conf in the machine's settings folder
// (/etc/tolvex-dfu; none in the tests, so that no machine's central history is written by
// them). Empty: none.
// `origin` tells where it came from, `problem` why a file that exists could not be read.
QString centralConnection(const QString &given, QString *origin = nullptr, QString *problem = nullptr);
// The connection as it may be shown: any password replaced by "****".
QString maskedConnection(const QString &connection);
// The first line of a central.conf that is neither blank nor a comment.
QString centralLineOf(const QByteArray &text);
// The connection as Qt's PostgreSQL driver takes it, read by libpq; false with `why` set.
bool centralDriverOptions(const QString &connection, QString &options, QString &why);

class Central
{
public:
    // The central schema this program writes.
    // 2: rows have owners (written_by), and row-level security keeps them.
    static constexpr int SchemaVersion = 2;

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
    // connection still serves (problem() says why); Broken: the connection is closed, and a new
    // Central tries again.
    enum class Put { Stored, Refused, Broken };
    Put put(const QList<History::Unsent> &rows);
    // The rows, oldest first, as History::rows() gives them, of one host too (when given).
    QList<History::Record> rows(const QString &serial, const QDateTime &since, const QString &host);
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
    std::mutex cancelMutex;
    int socket = -1; // a duplicate of the connection's socket, for abort()
};

} // namespace update
