// The history's file: opening it for writing or reading, telling ours from another program's,
// bringing an older schema up to date, and setting a damaged file aside.

#include "History.h"

#include "HistorySql_p.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QtDebug>

#include <QSqlDriver>

#include <sqlite3.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace update {

using namespace sql;

namespace {

// Another writer may hold the database for a moment. Writes happen off the front ends' event
// threads and are tried again, so a short wait each time is enough; a reader hardly ever waits
// under write-ahead logging.
constexpr int WriteBusyTimeoutMs = 2000;
constexpr int ReadBusyTimeoutMs = 1000;
constexpr int Interrupted = 9; // SQLITE_INTERRUPT

const char CreateTable[] = "CREATE TABLE updates ("
                           " id INTEGER PRIMARY KEY AUTOINCREMENT, uuid TEXT,"
                           " started TEXT NOT NULL, ended TEXT,"
                           " program TEXT NOT NULL, program_version TEXT, host TEXT,"
                           " product TEXT, serial TEXT, boot_serial TEXT, location TEXT,"
                           " version_before TEXT, version_after TEXT,"
                           " file TEXT, file_sha256 TEXT, file_release TEXT, image_name TEXT,"
                           " sectors_written INTEGER, sectors_kept INTEGER, bytes_verified INTEGER,"
                           " result TEXT NOT NULL, message TEXT, seconds REAL, label TEXT,"
                           " operator_name TEXT, lot TEXT, scanned_label TEXT,"
                           " revision INTEGER NOT NULL DEFAULT 1, sent_revision INTEGER)";
// Every change of a row's content, by this program or by an older one that knows nothing of
// forwarding, makes it a new revision, to be sent again; marking it sent is no change.
const char CreateTrigger[] = "CREATE TRIGGER IF NOT EXISTS updates_revised AFTER UPDATE ON updates"
                             " WHEN NEW.revision = OLD.revision AND NEW.sent_revision IS OLD.sent_revision"
                             " BEGIN UPDATE updates SET revision = OLD.revision + 1 WHERE id = NEW.id; END";
// A support desk asks by serial, by time, by host, and since schema 5 by file, result, label,
// operator and lot:
// each by an index, so that no question reads the whole file.
const char *const Indexes[] = {"CREATE UNIQUE INDEX IF NOT EXISTS updates_uuid ON updates (uuid)",
    "CREATE INDEX IF NOT EXISTS updates_serial ON updates (serial)",
    "CREATE INDEX IF NOT EXISTS updates_boot_serial ON updates (boot_serial)",
    "CREATE INDEX IF NOT EXISTS updates_started ON updates (started)",
    "CREATE INDEX IF NOT EXISTS updates_host ON updates (host)",
    "CREATE INDEX IF NOT EXISTS updates_sha256 ON updates (file_sha256)",
    "CREATE INDEX IF NOT EXISTS updates_result ON updates (result)",
    "CREATE INDEX IF NOT EXISTS updates_label ON updates (label)",
    "CREATE INDEX IF NOT EXISTS updates_operator ON updates (operator_name)",
    "CREATE INDEX IF NOT EXISTS updates_lot ON updates (lot)"};
// What the history knows of itself (when its whole-file check last passed); older programs
// never read it.
const char CreateFacts[] = "CREATE TABLE IF NOT EXISTS history_facts (name TEXT PRIMARY KEY, value TEXT)";
// The rows the central history refused, with its reason (see setAside()).
const char CreateRefused[] = "CREATE TABLE IF NOT EXISTS central_refused (uuid TEXT PRIMARY KEY, "
                             "revision INTEGER NOT NULL, reason TEXT, at TEXT)";

sqlite3 *sqliteOf(const QSqlDatabase &db)
{
    const QVariant v = db.isValid() && db.driver() ? db.driver()->handle() : QVariant();
    return v.isValid() && qstrcmp(v.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3 *const *>(v.data()) : nullptr;
}

} // namespace

QString History::defaultPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tolvex-dfu/history.sqlite");
}

History::History(const QString &path, Mode mode)
    : path_(path)
    , mode_(mode)
    , connection(sql::connectionName("tolvex-history"))
{
    if (path.isEmpty())
        return;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        state_ = State::Unavailable;
        problem_ = QStringLiteral("Qt's SQLite driver is not installed");
        return;
    }
    const QFileInfo info(path);
    if (!info.exists() && mode == Mode::Read) {
        state_ = State::Missing;
        problem_ = QStringLiteral("there is no history at %1").arg(path);
        return;
    }
    // Only a regular file can be ours; whether it is an SQLite database SQLite tells (header()).
    // A fifo or a device is not opened at all: reading one could wait for ever.
    if (info.exists() && !info.isFile()) {
        state_ = State::NotOurs;
        problem_ = QStringLiteral("%1 is %2, not a history; it is left as it is")
                       .arg(path, info.isDir() ? QStringLiteral("a folder") : QStringLiteral("not a regular file"));
        return;
    }
    if (mode == Mode::Read)
        openForReading();
    else
        openForWriting();
}

History::~History()
{
    disconnect();
}

bool History::connect(const QString &name, const QString &options)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(name);
    db.setConnectOptions(options);
    if (db.open()) {
        std::lock_guard<std::mutex> lock(handleMutex);
        handle = sqliteOf(db);
        return true;
    }
    failedWith(db.lastError(), QStringLiteral("opened"));
    return false;
}

void History::disconnect()
{
    {
        std::lock_guard<std::mutex> lock(handleMutex);
        handle = nullptr;
    }
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(connection))
        QSqlDatabase::removeDatabase(connection);
}

bool History::failedWith(const QSqlError &error, const QString &doing)
{
    const int code = primaryCode(error);
    damaged = code == Corrupt || code == NotADb;
    state_ = State::Unavailable;
    problem_ = QStringLiteral("the history at %1 cannot be %2%3: %4")
                   .arg(path_, doing, damaged ? QStringLiteral(" (it is damaged)") : QString(), reasonOf(error));
    return damaged;
}

void History::openForReading()
{
    // Read-only, and creating nothing beside the file: another user's -shm left behind would stop
    // the owner's writes. Without a -wal the file holds every row and is read as it is.
    const QString uri =
        QStringLiteral("file:%1?mode=ro%2")
            .arg(QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(path_).absoluteFilePath(), "/")),
                QFileInfo::exists(path_ + QStringLiteral("-wal")) ? QString() : QStringLiteral("&immutable=1"));
    if (!connect(uri,
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(ReadBusyTimeoutMs)))
        return;
    bool fresh = false;
    if (!isOurs(fresh))
        return;
    state_ = State::Open;
}

void History::openForWriting()
{
    if (!QDir().mkpath(QFileInfo(path_).absolutePath())) {
        state_ = State::Unavailable;
        problem_ = QStringLiteral("the folder of %1 cannot be made").arg(path_);
        return;
    }
    // SQLite follows a link: one that another user planted would have this user's rows
    // written, or a file made, wherever that user chose.
    struct stat link;
    if (::lstat(QFile::encodeName(path_).constData(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != ::geteuid()
        && link.st_uid != 0) {
        state_ = State::Unavailable;
        problem_ = QStringLiteral("%1 is a symbolic link of another user; nothing is written through it").arg(path_);
        return;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        damaged = false;
        bool fresh = false;
        if (connect(path_, QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(WriteBusyTimeoutMs)) && isOurs(fresh)
            && prepareSchema(fresh)) {
            state_ = State::Open;
            problem_.clear();
            return;
        }
        // Only SQLite's own verdict sets a file aside; busy, locked or full leave it be. It is
        // moved while still open: closing first would let SQLite fold the -wal in and delete it.
        if (!damaged)
            return;
        const bool aside = attempt == 0 && setAside();
        disconnect();
        if (!aside)
            return;
    }
}

bool History::isOurs(bool &fresh)
{
    QSqlQuery q(QSqlDatabase::database(connection, false));
    const auto number = [&](const char *sql, qint64 &out) {
        if (!q.exec(QString::fromLatin1(sql)) || !q.next())
            return false;
        out = q.value(0).toLongLong();
        return true;
    };
    qint64 id = 0, schema = 0, objects = 0, table = 0;
    if (!number("PRAGMA application_id", id) || !number("PRAGMA user_version", schema)
        || !number("SELECT count(*) FROM sqlite_master", objects)
        || !number("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'updates'", table)) {
        const QSqlError error = q.lastError();
        q.finish();
        // "Not a database" is a damaged history only when the file starts as SQLite's do; any
        // other file is some other program's, and is left as it is.
        const QByteArray start = primaryCode(error) == NotADb ? header() : QByteArray();
        if (!start.isEmpty() && start != QByteArray("SQLite format 3\0", 16)) {
            state_ = State::NotOurs;
            problem_ = QStringLiteral("%1 is not an SQLite database, not a history; it is left as it is").arg(path_);
            return false;
        }
        failedWith(error, QStringLiteral("read"));
        return false;
    }
    version = int(schema);
    fresh = id == 0 && schema == 0 && objects == 0;
    // Files of the releases before the application id was set: schema 1 or 2 with our table.
    const bool ours = id == ApplicationId ? table == 1 : id == 0 && schema >= 1 && schema <= 2 && table == 1;
    if (!fresh && !ours) {
        state_ = State::NotOurs;
        problem_ = QStringLiteral("%1 is another program's database (application id %2, schema %3), not a history; it "
                                  "is left as it is")
                       .arg(path_)
                       .arg(id)
                       .arg(schema);
        return false;
    }
    if (fresh)
        return true;
    QStringList present;
    if (!q.exec(QStringLiteral("PRAGMA table_info(updates)"))) {
        failedWith(q.lastError(), QStringLiteral("read"));
        return false;
    }
    while (q.next())
        present << q.value(1).toString();
    QStringList select;
    for (const QString &c : Columns)
        select << (present.contains(c) ? c : QStringLiteral("NULL"));
    columns = select.join(QStringLiteral(", "));
    return true;
}

QByteArray History::header()
{
    // Through SQLite's own descriptor: closing a second one of this file would drop every POSIX
    // lock this process holds on it, SQLite's own among them, and another process could then
    // take the history for unused and reset its -wal under the connections here.
    std::lock_guard<std::mutex> lock(handleMutex);
    sqlite3_file *file = nullptr;
    if (!handle || sqlite3_file_control(handle, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file
        || !file->pMethods)
        return QByteArray();
    sqlite3_int64 size = 0;
    char bytes[16] = {};
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK || size <= 0)
        return QByteArray();
    const int n = int(std::min<sqlite3_int64>(size, sizeof bytes));
    if (file->pMethods->xRead(file, bytes, n, 0) != SQLITE_OK)
        return QByteArray();
    return QByteArray(bytes, n);
}

bool History::prepareSchema(bool fresh)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    // No whole-file check here: opening costs the same at every size. A file damaged anywhere
    // SQLite does not read now is found by the statement that reads there, and checkIfDue()
    // looks at all of it while nobody waits.
    // A new file gives back the space of the rows pruned from it; an older one cannot be changed
    // so without being rewritten whole, and reuses it for new rows instead.
    if (fresh && !q.exec(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"))) {
        failedWith(q.lastError(), QStringLiteral("prepared"));
        return false;
    }
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        failedWith(q.lastError(), QStringLiteral("prepared"));
        return false;
    }
    if (version >= SchemaVersion && !fresh) {
        // This schema, or a newer program's: rows are added with the columns this one knows.
        return true;
    }
    // A new file is made whole; older ones take each step from their own on; either in one
    // transaction, so that a file is never left half-way. It takes the write lock at once
    // (waiting for another writer, not failing on it), and then looks again: another program
    // of this history may have prepared it meanwhile.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        failedWith(q.lastError(), QStringLiteral("prepared"));
        return false;
    }
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        failedWith(q.lastError(), QStringLiteral("read"));
        db.rollback();
        return false;
    }
    const int now = q.value(0).toInt();
    if (now >= SchemaVersion) {
        q.finish();
        if (!db.commit()) {
            failedWith(db.lastError(), QStringLiteral("prepared"));
            return false;
        }
        columns = Columns.join(QStringLiteral(", "));
        version = now;
        return true;
    }
    bool done = true;
    const auto run = [&](const QString &sql) { done = done && q.exec(sql); };
    if (fresh) {
        run(QString::fromLatin1(CreateTable));
    } else {
        // 2: the file's release, for the rollback rule; the boot loader's serial beside the
        // board's own.
        if (version < 2) {
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN file_release TEXT"));
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN boot_serial TEXT"));
        }
        // 3: an identifier of each row, unique across machines, by which it is written again.
        if (version < 3) {
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN uuid TEXT"));
            done = done && nameRows(q);
        }
        // 4: the station's label of the port, and what was sent to the central history.
        if (version < 4) {
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN label TEXT"));
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN revision INTEGER NOT NULL DEFAULT 1"));
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN sent_revision INTEGER"));
        }
        // 5: who ran a station, the lot and the label scanned; indexes for the support desk's
        // other questions, and what the file knows of itself.
        if (version < 5) {
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN operator_name TEXT"));
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN lot TEXT"));
            run(QStringLiteral("ALTER TABLE updates ADD COLUMN scanned_label TEXT"));
        }
    }
    run(QString::fromLatin1(CreateTrigger));
    for (const char *sql : Indexes)
        run(QString::fromLatin1(sql));
    run(QStringLiteral("CREATE INDEX IF NOT EXISTS updates_file_name ON updates (%1)").arg(QLatin1String(FileNameSql)));
    run(QString::fromLatin1(CreateFacts));
    run(QString::fromLatin1(CreateRefused));
    // The rows still to be sent to the central history, found without reading the others: by
    // the very term their query uses, or SQLite does not take the index for it.
    run(QStringLiteral("CREATE INDEX IF NOT EXISTS updates_unsent ON updates (id) WHERE %1")
            .arg(QLatin1String(UnsentRows)));
    run(QStringLiteral("PRAGMA application_id = %1").arg(ApplicationId));
    run(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion));
    if (!done || !db.commit()) {
        const QSqlError error = done ? db.lastError() : q.lastError();
        db.rollback();
        failedWith(error, QStringLiteral("prepared"));
        return false;
    }
    columns = Columns.join(QStringLiteral(", "));
    version = SchemaVersion;
    return true;
}

bool History::setAside()
{
    // Moved with its -wal and -shm under the same new name, so that SQLite finds every committed
    // row again when the aside file is opened.
    const QString aside = path_ + QStringLiteral(".damaged-")
                          + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddThhmmss"));
    if (!QFile::rename(path_, aside)) {
        state_ = State::Unavailable;
        problem_ = QStringLiteral("%1 is damaged and cannot be set aside").arg(path_);
        return false;
    }
    for (const char *suffix : {"-wal", "-shm"}) {
        const QString from = path_ + QLatin1String(suffix);
        if (QFileInfo::exists(from) && !QFile::rename(from, aside + QLatin1String(suffix)))
            qWarning("History: %s cannot be moved beside %s", qPrintable(from), qPrintable(aside));
    }
    qWarning("History: %s was damaged (%s); it is kept as %s and a new history is started.", qPrintable(path_),
        qPrintable(problem_), qPrintable(aside));
    problem_.clear();
    state_ = State::Off;
    return true;
}

bool History::replaceDamaged()
{
    if (mode_ != Mode::Write || !damaged)
        return false;
    // Moved while still open: closing first would let SQLite fold the -wal in and delete it.
    const bool aside = setAside();
    disconnect();
    if (!aside)
        return false;
    openForWriting();
    return isOpen();
}

void History::interrupt()
{
    std::lock_guard<std::mutex> lock(handleMutex);
    if (handle)
        sqlite3_interrupt(handle);
}

bool History::checkIfDue(qint64 everySeconds)
{
    if (!isOpen() || mode_ != Mode::Write || version < 5)
        return false;
    const bool passed = [&] {
        QSqlQuery q(QSqlDatabase::database(connection, false));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (!q.exec(QStringLiteral("SELECT value FROM history_facts WHERE name = 'checked'"))) {
            failedWith(q.lastError(), QStringLiteral("read"));
            return false;
        }
        const QDateTime last = q.next() ? QDateTime::fromString(q.value(0).toString(), Qt::ISODateWithMs) : QDateTime();
        q.finish();
        // A time ahead of the clock (set back since) is no reason to wait.
        if (last.isValid() && last <= now && last.secsTo(now) < everySeconds)
            return false;
        // quick_check reads every page: an interrupt() stops it, and it is not remembered then.
        if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next()) {
            if (primaryCode(q.lastError()) != Interrupted)
                failedWith(q.lastError(), QStringLiteral("read"));
            return false;
        }
        const QString finding = q.value(0).toString();
        q.finish();
        if (finding != QLatin1String("ok")) {
            damaged = true;
            state_ = State::Unavailable;
            // Its first finding is enough for people; the file is kept for whoever looks closer.
            problem_ =
                QStringLiteral("the history at %1 is damaged: %2").arg(path_, finding.section(QLatin1Char('\n'), 0, 0));
            return false;
        }
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO history_facts (name, value) VALUES ('checked', :at)"));
        q.bindValue(QStringLiteral(":at"), isoUtc(now));
        return q.exec();
    }();
    // With every statement of the check ended: the connection is closed on the way.
    if (damaged)
        replaceDamaged();
    return passed;
}

namespace {

// The rows prune() deletes: started before :before, and with `centralOnly`, held by the central
// history as they are now (sent at their revision, and not set aside as refused).
QString prunedTerm(bool centralOnly)
{
    return centralOnly ? QStringLiteral("started < :before AND sent_revision = revision AND uuid NOT IN "
                                        "(SELECT uuid FROM central_refused)")
                       : QStringLiteral("started < :before");
}

} // namespace

qint64 History::prunable(const QDateTime &before, bool centralOnly)
{
    if (!isOpen() || columns.isEmpty())
        return 0;
    if (version < 5)
        return centralOnly ? 0 : -1;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral("SELECT count(*) FROM updates WHERE %1").arg(prunedTerm(centralOnly)));
    q.bindValue(QStringLiteral(":before"), isoUtc(before));
    if (!q.exec() || !q.next()) {
        failedWith(q.lastError(), QStringLiteral("read"));
        return -1;
    }
    return q.value(0).toLongLong();
}

QString History::prune(const QDateTime &before, bool centralOnly, int batch, qint64 &deleted,
    const std::function<bool()> &more, const std::function<void(int)> &pause)
{
    deleted = 0;
    if (!isOpen() || mode_ != Mode::Write)
        return problem_.isEmpty() ? QStringLiteral("no history is kept") : problem_;
    damaged = false;
    // A deletion lost to a power cut is done again by the next prune: its commits need not
    // each wait for the disk, as a row's do. Never a damaged file, under write-ahead logging.
    QSqlQuery(QSqlDatabase::database(connection, false)).exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
    const QString why = pruneRows(before, centralOnly, batch, deleted, more, pause);
    QSqlQuery(QSqlDatabase::database(connection, false)).exec(QStringLiteral("PRAGMA synchronous = FULL"));
    // With every statement ended: the connection is closed on the way.
    if (damaged)
        replaceDamaged();
    return why;
}

QString History::pruneRows(const QDateTime &before, bool centralOnly, int batch, qint64 &deleted,
    const std::function<bool()> &more, const std::function<void(int)> &pause)
{
    QSqlQuery q(QSqlDatabase::database(connection, false));
    const auto failed = [&](const QString &doing) {
        // interrupt(): stopped, not failed; the rest goes another time.
        if (primaryCode(q.lastError()) == Interrupted)
            return QString();
        failedWith(q.lastError(), doing);
        return QStringLiteral("the history at %1 cannot be %2: %3").arg(path_, doing, reasonOf(q.lastError()));
    };
    // Each row deleted changes a page of each index, the identifiers' scattered over the file: a
    // batch is sized to hold the write lock for about HoldMs, whatever the disk and the load.
    constexpr qint64 HoldMs = 50;
    const int largest = std::max(batch, 1);
    int rows = std::min(largest, 100);
    QElapsedTimer held;
    int ms = 0; // the last batch held the lock this long
    const auto step = [&](bool first) {
        ms = first ? 0 : int(held.elapsed());
        if (!first) {
            rows = ms > 2 * HoldMs ? std::max(1, rows / 2) : ms < HoldMs / 2 ? std::min(largest, rows * 2) : rows;
            if (pause)
                pause(ms);
        }
        held.start();
        return !more || more();
    };
    // Oldest first, a batch a transaction: a writer of this history waits one batch at most.
    q.prepare(QStringLiteral("DELETE FROM updates WHERE id IN (SELECT id FROM updates WHERE %1 ORDER BY started "
                             "LIMIT :batch)")
                  .arg(prunedTerm(centralOnly)));
    for (bool first = true;; first = false) {
        if (!step(first))
            return QString();
        q.bindValue(QStringLiteral(":before"), isoUtc(before));
        q.bindValue(QStringLiteral(":batch"), rows);
        if (!q.exec())
            return failed(QStringLiteral("pruned"));
        const int n = q.numRowsAffected();
        deleted += n;
        if (n < rows)
            break;
    }
    // What was refused of rows no longer here is of no more use.
    if (deleted > 0
        && !q.exec(QStringLiteral("DELETE FROM central_refused WHERE uuid NOT IN (SELECT uuid FROM updates)")))
        return failed(QStringLiteral("pruned"));
    // The pages freed, given back to the file system a few at a time (a file older than
    // schema 5 keeps them for its new rows: PRAGMA incremental_vacuum does nothing there).
    int pages = 64;
    for (bool first = true;; first = false) {
        if (!q.exec(QStringLiteral("PRAGMA freelist_count")) || !q.next())
            return failed(QStringLiteral("read"));
        const qint64 free = q.value(0).toLongLong();
        q.finish();
        if (free == 0 || !q.exec(QStringLiteral("PRAGMA auto_vacuum")) || !q.next() || q.value(0).toInt() != 2)
            break;
        q.finish();
        if (!step(first))
            break;
        if (!first)
            pages = ms > 2 * HoldMs ? std::max(8, pages / 2) : ms < HoldMs / 2 ? std::min(4096, pages * 2) : pages;
        if (!q.exec(QStringLiteral("PRAGMA incremental_vacuum(%1)").arg(pages)))
            return failed(QStringLiteral("pruned"));
        while (q.next()) { } // each page freed is a step
    }
    return QString();
}

} // namespace update
