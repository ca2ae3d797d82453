#pragma once

#include "Devices.h"
#include "Outcome.h"

// The update history: one row per device per update, in an SQLite database that every
// support tool can read, written by the window, tolvex-dfu and its station alike.
//
// A row is written when the update starts (result "running") and again, whole, when it ends,
// both times by its identifier: a crash or an unplugged host leaves a row that says so, and a
// row written twice is still one row. Several writers at once (a window, a station updating
// eight boards, a script) share the file through write-ahead logging and a busy timeout.
//
// What is done with a file that is not a sound history:
// - SQLite's own verdict that it is damaged (not a database or corrupt, a failed check), at
//   whichever statement it comes: the writer moves it aside with its -wal and -shm, so that
//   nothing committed is lost, and starts a new one;
// - another program's database, a folder, any other file: refused and left as it is;
// - busy, locked, read-only, a full disk: the row is not recorded now, and the update goes on.
// A reader changes nothing: it opens read-only and creates no file.
//
// Opening costs the same at one row and at ten million: nothing on the way to a board reads
// the whole file. The whole-file check runs on the history thread while it has nothing else to
// do (checkIfDue).

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <mutex>

class QSqlError;
class QSqlDatabase;
class QSqlQuery;
struct sqlite3;

namespace update {

// How a store spells the terms of a filter that differ between SQLite and PostgreSQL: the
// serial's (on :serial), the times' (on :since and :until, ISO 8601 text in UTC), the label's.
struct FilterTerms
{
    QString serial;
    QString since;
    QString until;
    QString label; // on :label
};
class History
{
public:
    // The schema this program writes; it opens files of every earlier one.
    static constexpr int SchemaVersion = 5;
    // "TVXH" in the file's header: what tells our history from another program's database.
    static constexpr qint32 ApplicationId = 0x54565848;

    struct Record
    {
        QString uuid; // the row's identifier, unique across machines
        QDateTime started; // UTC
        QDateTime ended;   // UTC; null while running
        QString program;   // "window", "tolvex-dfu", "station"
        QString programVersion;
        QString host;
        QString product;
        QString serial; // the board's own: its application's where it has one
        QString bootSerial; // its boot loader's
        QString location; // BUS-PORT.PORT...
        QString versionBefore; // empty: not known
        QString versionAfter;
        QString file;
        QString fileSha256;
        QString fileRelease; // the file's release as its suffix gives it ("1.02"); empty: not given
        QString imageName;
        int sectorsWritten = -1; // -1: not known
        int sectorsKept = -1;
        qint64 bytesVerified = -1;
        // done, refused, failed, interrupted, up to date, replaced; "backup" for an upload
        QString result = QStringLiteral("running");
        QString message;
        double seconds = 0;
        QString label; // the station's name of the port, where it has one
        QString operatorName; // who ran the station, as given
        QString lot; // the lot or work order, as given
        QString scannedLabel; // the label scanned for the board
        QDateTime received; // UTC; when the central history took it (read from it only)
    };
    // A row still to be sent to the central history, at the revision it has now.
    struct Unsent
    {
        Record record;
        qint64 revision = 0;
    };

    enum class Mode { Write, Read };
    enum class State {
        Off, // no path given: no history is kept
        Open,
        Missing, // reading: there is no file
        NotOurs, // a folder, another program's database, any other file: left as it is
        Unavailable, // busy, locked, read-only, full, unreadable: maybe later
    };

    // $XDG_STATE_HOME/tolvex-dfu/history.sqlite, or ~/.local/state/tolvex-dfu/history.sqlite.
    static QString defaultPath();

    // Write: opens the history at `path`, creating it (and its folder) when missing, bringing an
    // older schema up to date; a damaged file is set aside. Read: opens it read-only, as it is.
    // An empty path keeps none.
    explicit History(const QString &path, Mode mode = Mode::Write);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    bool isOpen() const { return state_ == State::Open; }
    State state() const { return state_; }
    // Why the history is not open, or why the last call failed, for people; empty when neither.
    const QString &problem() const { return problem_; }
    const QString &path() const { return path_; }

    // Writes `record` whole: a new row, or the row with its identifier replaced. Unavailable when
    // a later try may succeed (busy, locked, full...). A file SQLite finds damaged on the way is
    // set aside, and the row goes in a new one.
    Outcome put(const Record &record);

    // What a support desk asks for; each term that is given narrows the rows, and each is
    // answered by an index of its own.
    struct Filter
    {
        QString serial; // the board's own, or its boot loader's
        QDateTime since; // started at or after
        QDateTime until; // started before
        QString host;
        QString sha256; // a prefix of the file's SHA-256, in lower-case hex
        QString fileName; // the last part of the file's path
        QString result;
        QString label;
        QString operatorName;
        QString lot;
    };
    // The rows, oldest first. On failure, empty with problem() set.
    QList<Record> rows(const Filter &filter = Filter());
    QList<Record> rows(const QString &serial, const QDateTime &since = QDateTime(), const QString &host = QString())
    {
        Filter f;
        f.serial = serial;
        f.since = since;
        f.host = host;
        return rows(f);
    }
    // How SQLite answers rows(filter): its query plan, a line a step.
    QStringList plan(const Filter &filter);
    // The rows not yet sent to the central history as they are now, oldest first.
    QList<Unsent> unsent(int limit);
    // Marks the rows sent at the revisions given.
    Outcome markSent(const QList<Unsent> &rows);
    // How many rows wait to be sent; -1 when that cannot be read.
    int unsentCount();
    // A row the central history refused (its revision): set aside with the reason, so that the
    // rows behind it go; a later revision of it is sent again.
    Outcome setAside(const Unsent &row, const QString &reason);
    struct SetAside
    {
        QString uuid;
        qint64 revision = 0;
        QString reason;
        QDateTime at;
    };
    // The rows set aside whose revision is still the current one.
    QList<SetAside> setAsideRows();
    // The one serial the boot loader of the board `serial` has always shown; empty when none,
    // or several.
    QString bootSerialOf(const QString &serial);
    // The board's own serial that the boot serial `bootSerial` stands for: the one board the
    // history has ever seen with it. Empty when it has seen none, or several (boards of a
    // family may all report one boot serial, which then names none of them).
    QString ownSerialOf(const QString &bootSerial);
    // The boards (their own serials) that a backup with this SHA-256 was read from here.
    // `recorded`, if given, tells whether any backup row has that hash, with a serial or not.
    QStringList backupsOf(const QString &sha256, bool *recorded = nullptr);
    // Deletes, a batch of at most `batch` rows at a time, the rows that started before `before`:
    // those the central history holds as they are now (`centralOnly`), or all of them. Each
    // batch is a transaction of its own, sized to hold the file's write lock for some 50 ms;
    // `more` is asked before each (false: stop), and `pause` runs between them with the
    // milliseconds the last one held it. The space is given back to the file system where the
    // file allows it (files made since schema 5). Empty on success (and when interrupt()ed), the
    // reason otherwise; `deleted` counts the rows.
    QString prune(const QDateTime &before, bool centralOnly, int batch, qint64 &deleted,
        const std::function<bool()> &more = {}, const std::function<void(int)> &pause = {});
    // Rows prune(before, centralOnly) would delete; -1 when that cannot be read.
    qint64 prunable(const QDateTime &before, bool centralOnly);

    // Runs SQLite's whole-file check when the last one that passed is older than `everySeconds`,
    // and remembers in the file when it passed. A failed check sets the file aside. False when
    // it did not run to its end (interrupt(), busy, nothing to check).
    bool checkIfDue(qint64 everySeconds);
    // Stops the statement under way at once, from any thread; it fails with "interrupted".
    void interrupt();
    // SQLite said the file is damaged at the last failure.
    bool isDamaged() const { return damaged; }
    // Writing: sets the damaged file aside and starts a new one; true when the new one is open.
    bool replaceDamaged();

    // Whether the history at `path` is evidence of what the running user did: Ok if only the
    // running user (and root) could have written it; Refused, saying why, when another user
    // could (its owner, its or its folders' permissions, a link).
    static Outcome credentials(const QString &path);

private:
    void openForWriting();
    // Commits the transaction under way if `done`, else rolls it back and says why.
    Outcome finishWrite(QSqlDatabase &db, QSqlQuery &q, bool done);
    // Why nothing can be written: the history is not open (Unavailable while it may open later).
    Outcome notOpen() const;
    // A statement that did not write: Unavailable where a later try may succeed.
    Outcome cannotWrite(const QSqlError &error) const;
    void openForReading();
    // Adds the connection; false (with the state set) when SQLite cannot open the file.
    bool connect(const QString &name, const QString &options);
    void disconnect();
    // Whether the open database is ours (or new), by its application id, schema and tables.
    bool isOurs(bool &fresh);
    // The first bytes of the open file, read through SQLite's own descriptor of it.
    QByteArray header();
    FilterTerms terms() const;
    QString pruneRows(const QDateTime &before, bool centralOnly, int batch, qint64 &deleted,
        const std::function<bool()> &more, const std::function<void(int)> &pause);
    bool prepareSchema(bool fresh);
    // Gives each row without an identifier one of its own.
    bool nameRows(QSqlQuery &q);
    // Moves the damaged file and its -wal and -shm aside; true when it is out of the way.
    bool setAside();
    // The state a failed statement leaves; true when it said "damaged".
    bool failedWith(const QSqlError &error, const QString &doing);

    QString path_;
    Mode mode_;
    QString connection;
    std::mutex handleMutex; // for interrupt() from another thread
    sqlite3 *handle = nullptr;
    State state_ = State::Off;
    QString problem_;
    bool damaged = false; // SQLite's verdict on the last failure
    int version = 0; // of the open file's schema
    QString columns; // what this program selects, NULL for what an older file lacks
};

// What one update road met and did, as either front end saw it: the one source of a history
// row, so that the window's rows and the terminal's say the same of the same update.
struct Road
{
    enum class Outcome { Running, Done, Refused, Failed, Interrupted, Replaced, Backup, Pulled };

    QString uuid;
    QString program;
    QString location;
    QString label; // the station's name of the port
    QString product; // application mode
    QString serial;
    QString bootProduct; // DFU mode
    QString bootSerial;
    QString versionBefore; // empty: not known
    QString versionAfter;
    QString filePath;
    QString fileSha256; // of the bytes read and written
    quint16 fileRelease = 0;
    QString imageName;
    int sectorsTouched = 0;
    int sectorsKept = 0;
    qint64 bytesVerified = -1;
    Outcome outcome = Outcome::Running;
    QString message;
    QDateTime started; // UTC
    QDateTime ended; // UTC; null while on the road
    qint64 elapsedMs = 0;
};
// The record in the columns of `q` from `first` on, in the history's own order (uuid, started,
// ended, program ... seconds, label), times as ISO 8601 text.
History::Record recordAt(const QSqlQuery &q, int first);
// Binds the record to the placeholders of its columns (:uuid, :started ... :seconds, :label),
// as every store writes them: a record without an identifier or start gets one now.
void bindRow(QSqlQuery &q, const History::Record &r);
// Prepares `sql` (which ends in a WHERE clause) with the terms of the filter given, oldest first,
// their values bound; or, with `literal`, gives the text to run with the values written in (for
// what the server cannot prepare, such as PostgreSQL's EXPLAIN), preparing nothing.
QString prepareFiltered(QSqlQuery &q, QString sql, const History::Filter &filter, const FilterTerms &terms,
    const std::function<QString(const QVariant &)> &literal = {});
// The last part of the `file` column's path, in SQL that both stores index.
extern const char FileNameSql[];
// A new row identifier.
QString newRowId();
History::Record historyRow(const Road &road);

// Each DFU-mode device whose boot serial names one board, as far as the history tells, gets
// that board's own serial (Device::appSerial).
void addKnownSerials(QList<Device> &devices, History &history);
// Forgets the board's own serial of every DFU-mode device whose boot serial another device
// in `devices` reports too.
void forgetSharedBootSerials(QList<Device> &devices);

} // namespace update
