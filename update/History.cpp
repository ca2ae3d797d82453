// The history's file: opening it for writing or reading, telling ours from another program's,
// bringing an older schema up to date, and setting a damaged file aside.

#include "History.h"

#include "HistorySql.h"

#include <QDir>
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

#include <mutex>

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

// Closing any descriptor of a file drops every POSIX lock this process holds on it, SQLite's
// own among them: another process could then take the history for unused and reset its -wal
// under our connections. So its header is read only while no connection of this process has
// the file open (one that has, found it ours already).
std::mutex openMutex;
QHash<QString, int> &openHere()
{
    static QHash<QString, int> paths;
    return paths;
}
// The writers of this process whose file passed its check: another writer of it (the forwarder
// beside the history's writer) need not read the whole file again.
QHash<QString, int> &checkedHere()
{
    static QHash<QString, int> paths;
    return paths;
}

const char CreateTable[] = "CREATE TABLE updates ("
                           " id INTEGER PRIMARY KEY AUTOINCREMENT, uuid TEXT,"
                           " started TEXT NOT NULL, ended TEXT,"
                           " program TEXT NOT NULL, program_version TEXT, host TEXT,"
                           " product TEXT, serial TEXT, boot_serial TEXT, location TEXT,"
                           " version_before TEXT, version_after TEXT,"
                           " file TEXT, file_sha256 TEXT, file_release TEXT, image_name TEXT,"
                           " sectors_written INTEGER, sectors_kept INTEGER, bytes_verified INTEGER,"
                           " result TEXT NOT NULL, message TEXT, seconds REAL, label TEXT,"
                           " revision INTEGER NOT NULL DEFAULT 1, sent_revision INTEGER)";
// Every change of a row's content, by this program or by an older one that knows nothing of
// forwarding, makes it a new revision, to be sent again; marking it sent is no change.
const char CreateTrigger[] = "CREATE TRIGGER IF NOT EXISTS updates_revised AFTER UPDATE ON updates"
                             " WHEN NEW.revision = OLD.revision AND NEW.sent_revision IS OLD.sent_revision"
                             " BEGIN UPDATE updates SET revision = OLD.revision + 1 WHERE id = NEW.id; END";
// A support desk asks by serial and by time.
const char *const Indexes[] = {"CREATE UNIQUE INDEX IF NOT EXISTS updates_uuid ON updates (uuid)",
    "CREATE INDEX IF NOT EXISTS updates_serial ON updates (serial)",
    "CREATE INDEX IF NOT EXISTS updates_boot_serial ON updates (boot_serial)",
    "CREATE INDEX IF NOT EXISTS updates_started ON updates (started)",
    "CREATE INDEX IF NOT EXISTS updates_host ON updates (host)"};

} // namespace

QString History::defaultPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tolvex-dfu/history.sqlite");
}

History::History(const QString &path, Mode mode) : path_(path), connection(sql::connectionName("tolvex-history"))
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
    std::unique_lock<std::mutex> registry(openMutex);
    const QString where = info.absoluteFilePath();
    if (info.exists() && openHere().value(where) == 0) {
        // Only a regular file can be ours; a database starts with SQLite's header (an empty
        // file is a new one).
        QFile f(path);
        const bool readable = info.isFile() && f.open(QIODevice::ReadOnly);
        const QByteArray header = readable ? f.read(16) : QByteArray();
        if (!info.isFile() || (readable && info.size() > 0 && header != QByteArray("SQLite format 3\0", 16))) {
            state_ = State::NotOurs;
            problem_ = QStringLiteral("%1 is %2, not a history; it is left as it is")
                           .arg(path, info.isDir()    ? QStringLiteral("a folder")
                                      : info.isFile() ? QStringLiteral("not an SQLite database")
                                                      : QStringLiteral("not a regular file"));
            return;
        }
        if (!readable) {
            state_ = State::Unavailable;
            problem_ = QStringLiteral("%1 cannot be read: %2").arg(path, f.errorString());
            return;
        }
    }
    key = where;
    openHere()[key] += 1;
    registry.unlock();
    if (mode == Mode::Read)
        openForReading();
    else
        openForWriting();
}

History::~History()
{
    disconnect();
    if (key.isEmpty())
        return;
    std::lock_guard<std::mutex> registry(openMutex);
    if (--openHere()[key] <= 0)
        openHere().remove(key);
    if (checked && --checkedHere()[key] <= 0)
        checkedHere().remove(key);
}

bool History::connect(const QString &name, const QString &options)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(name);
    db.setConnectOptions(options);
    if (db.open())
        return true;
    failedWith(db.lastError(), QStringLiteral("opened"));
    return false;
}

void History::disconnect()
{
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
            std::lock_guard<std::mutex> registry(openMutex);
            checkedHere()[key] += 1;
            checked = true;
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
        failedWith(q.lastError(), QStringLiteral("read"));
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

bool History::prepareSchema(bool fresh)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    const bool checkedAlready = [&] {
        std::lock_guard<std::mutex> registry(openMutex);
        return checkedHere().value(key) > 0;
    }();
    if (!fresh && !checkedAlready) {
        // quick_check reads the whole file: a damaged one fails here, before anything is added.
        if (!q.exec(QStringLiteral("PRAGMA quick_check"))) {
            failedWith(q.lastError(), QStringLiteral("read"));
            return false;
        }
        if (!q.next() || q.value(0).toString() != QLatin1String("ok")) {
            damaged = true;
            state_ = State::Unavailable;
            // Its first finding is enough for people; the file is kept for whoever looks closer.
            const QString finding = q.value(0).toString().section(QLatin1Char('\n'), 0, 0);
            problem_ = QStringLiteral("the history at %1 is damaged: %2").arg(path_, finding);
            return false;
        }
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
    }
    run(QString::fromLatin1(CreateTrigger));
    for (const char *sql : Indexes)
        run(QString::fromLatin1(sql));
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

} // namespace update
