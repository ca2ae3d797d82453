#include "History.h"

#include "DfuLink.h"
#include "Release.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QSysInfo>
#include <QUrl>
#include <QUuid>
#include <QVariant>
#include <QtDebug>

#include <mutex>

namespace update {

namespace {

// Another writer may hold the database for a moment. Writes happen off the front ends' event
// threads and are tried again, so a short wait each time is enough; a reader hardly ever waits
// under write-ahead logging.
constexpr int WriteBusyTimeoutMs = 2000;
constexpr int ReadBusyTimeoutMs = 1000;

// SQLite's primary result codes (the driver reports extended ones; the low byte is the primary).
enum SqliteCode {
    Busy = 5,
    Locked = 6,
    ReadOnly = 8,
    IoError = 10,
    Corrupt = 11,
    Full = 13,
    CantOpen = 14,
    NotADb = 26
};

QAtomicInteger<quint64> connections;

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

// Every column, as this program writes them; older files lack some of the later ones.
const QStringList Columns{QStringLiteral("id"), QStringLiteral("uuid"), QStringLiteral("started"),
    QStringLiteral("ended"), QStringLiteral("program"), QStringLiteral("program_version"), QStringLiteral("host"),
    QStringLiteral("product"), QStringLiteral("serial"), QStringLiteral("boot_serial"), QStringLiteral("location"),
    QStringLiteral("version_before"), QStringLiteral("version_after"), QStringLiteral("file"),
    QStringLiteral("file_sha256"), QStringLiteral("file_release"), QStringLiteral("image_name"),
    QStringLiteral("sectors_written"), QStringLiteral("sectors_kept"), QStringLiteral("bytes_verified"),
    QStringLiteral("result"), QStringLiteral("message"), QStringLiteral("seconds"), QStringLiteral("label")};

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
const char UnsentRows[] = "sent_revision IS NULL OR sent_revision < revision";
// A support desk asks by serial and by time.
const char *const Indexes[] = {"CREATE UNIQUE INDEX IF NOT EXISTS updates_uuid ON updates (uuid)",
    "CREATE INDEX IF NOT EXISTS updates_serial ON updates (serial)",
    "CREATE INDEX IF NOT EXISTS updates_boot_serial ON updates (boot_serial)",
    "CREATE INDEX IF NOT EXISTS updates_started ON updates (started)",
    "CREATE INDEX IF NOT EXISTS updates_host ON updates (host)",
    // The rows still to be sent to the central history, found without reading the others.
    ("CREATE INDEX IF NOT EXISTS updates_unsent ON updates (id)"
     " WHERE sent_revision IS NULL OR sent_revision < revision")};

QVariant orNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

QVariant orNull(qint64 number)
{
    return number < 0 ? QVariant() : QVariant(number);
}

QString isoUtc(const QDateTime &t)
{
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

int primaryCode(const QSqlError &e)
{
    bool ok = false;
    const int code = e.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;
}

QString reasonOf(const QSqlError &e)
{
    return e.databaseText().isEmpty() ? e.text() : e.databaseText();
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
    , connection(QStringLiteral("tolvex-history-%1").arg(connections.fetchAndAddRelaxed(1)))
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
    if (!fresh) {
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

void bindRow(QSqlQuery &q, const History::Record &r)
{
    q.bindValue(QStringLiteral(":uuid"), r.uuid.isEmpty() ? newRowId() : r.uuid);
    q.bindValue(QStringLiteral(":started"), isoUtc(r.started.isValid() ? r.started : QDateTime::currentDateTimeUtc()));
    q.bindValue(QStringLiteral(":ended"), orNull(isoUtc(r.ended)));
    q.bindValue(QStringLiteral(":program"), r.program);
    q.bindValue(QStringLiteral(":version"), r.programVersion);
    q.bindValue(QStringLiteral(":host"), r.host);
    q.bindValue(QStringLiteral(":product"), orNull(r.product));
    q.bindValue(QStringLiteral(":serial"), orNull(r.serial));
    q.bindValue(QStringLiteral(":boot"), orNull(r.bootSerial));
    q.bindValue(QStringLiteral(":location"), orNull(r.location));
    q.bindValue(QStringLiteral(":before"), orNull(r.versionBefore));
    q.bindValue(QStringLiteral(":after"), orNull(r.versionAfter));
    q.bindValue(QStringLiteral(":file"), orNull(r.file));
    q.bindValue(QStringLiteral(":sha"), orNull(r.fileSha256));
    q.bindValue(QStringLiteral(":release"), orNull(r.fileRelease));
    q.bindValue(QStringLiteral(":image"), orNull(r.imageName));
    q.bindValue(QStringLiteral(":written"), orNull(qint64(r.sectorsWritten)));
    q.bindValue(QStringLiteral(":kept"), orNull(qint64(r.sectorsKept)));
    q.bindValue(QStringLiteral(":verified"), orNull(r.bytesVerified));
    q.bindValue(QStringLiteral(":result"), r.result);
    q.bindValue(QStringLiteral(":message"), r.message);
    q.bindValue(QStringLiteral(":seconds"), r.seconds);
    q.bindValue(QStringLiteral(":label"), orNull(r.label));
}

QString History::put(const Record &r, bool *retry)
{
    if (retry)
        *retry = state_ == State::Unavailable;
    if (!isOpen())
        return problem_.isEmpty() ? QStringLiteral("no history is kept") : problem_;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral(
        "INSERT INTO updates (uuid, started, ended, program, program_version, host, product, serial, boot_serial, "
        "location, version_before, version_after, file, file_sha256, file_release, image_name, sectors_written, "
        "sectors_kept, bytes_verified, result, message, seconds, label) "
        "VALUES (:uuid, :started, :ended, :program, :version, :host, :product, :serial, :boot, :location, :before, "
        ":after, :file, :sha, :release, :image, :written, :kept, :verified, :result, :message, :seconds, :label) "
        "ON CONFLICT (uuid) DO UPDATE SET started = excluded.started, ended = excluded.ended, "
        "program = excluded.program, program_version = excluded.program_version, host = excluded.host, "
        "product = excluded.product, serial = excluded.serial, boot_serial = excluded.boot_serial, "
        "location = excluded.location, version_before = excluded.version_before, "
        "version_after = excluded.version_after, file = excluded.file, file_sha256 = excluded.file_sha256, "
        "file_release = excluded.file_release, image_name = excluded.image_name, "
        "sectors_written = excluded.sectors_written, sectors_kept = excluded.sectors_kept, "
        "bytes_verified = excluded.bytes_verified, result = excluded.result, message = excluded.message, "
        "seconds = excluded.seconds, label = excluded.label"));
    bindRow(q, r);
    if (q.exec())
        return QString();
    const int code = primaryCode(q.lastError());
    if (retry)
        *retry =
            code == Busy || code == Locked || code == ReadOnly || code == Full || code == IoError || code == CantOpen;
    return QStringLiteral("the history at %1 cannot be written: %2").arg(path_, reasonOf(q.lastError()));
}

History::Record recordAt(const QSqlQuery &q, int first)
{
    const auto count = [&](int i) { return q.value(i).isNull() ? -1 : q.value(i).toLongLong(); };
    History::Record r;
    int i = first;
    r.uuid = q.value(i++).toString();
    r.started = QDateTime::fromString(q.value(i++).toString(), Qt::ISODateWithMs);
    r.ended = QDateTime::fromString(q.value(i++).toString(), Qt::ISODateWithMs);
    for (QString *text : {&r.program, &r.programVersion, &r.host, &r.product, &r.serial, &r.bootSerial, &r.location,
             &r.versionBefore, &r.versionAfter, &r.file, &r.fileSha256, &r.fileRelease, &r.imageName})
        *text = q.value(i++).toString();
    r.sectorsWritten = int(count(i++));
    r.sectorsKept = int(count(i++));
    r.bytesVerified = count(i++);
    r.result = q.value(i++).toString();
    r.message = q.value(i++).toString();
    r.seconds = q.value(i++).toDouble();
    r.label = q.value(i++).toString();
    return r;
}

void prepareFiltered(QSqlQuery &q, QString sql, const QString &serial, const QString &serialTerm,
    const QDateTime &since, const QString &sinceTerm, const QString &host)
{
    if (!serial.isEmpty())
        sql += QStringLiteral(" AND ") + serialTerm;
    if (since.isValid())
        sql += QStringLiteral(" AND ") + sinceTerm;
    if (!host.isEmpty())
        sql += QStringLiteral(" AND host = :host");
    q.prepare(sql + QStringLiteral(" ORDER BY started, id"));
    if (!serial.isEmpty())
        q.bindValue(QStringLiteral(":serial"), serial);
    if (since.isValid())
        q.bindValue(QStringLiteral(":since"), isoUtc(since));
    if (!host.isEmpty())
        q.bindValue(QStringLiteral(":host"), host);
}

QList<History::Record> History::rows(const QString &serial, const QDateTime &since, const QString &host)
{
    QList<Record> out;
    if (!isOpen() || columns.isEmpty()) // a new file holds no table yet
        return out;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    // A board is found by its own serial or by its boot loader's.
    prepareFiltered(q, QStringLiteral("SELECT %1 FROM updates WHERE 1").arg(columns), serial,
        version >= 2 ? QStringLiteral("(serial = :serial OR boot_serial = :serial)")
                     : QStringLiteral("serial = :serial"),
        since, QStringLiteral("started >= :since"), host);
    if (!q.exec()) {
        failedWith(q.lastError(), QStringLiteral("read"));
        return out;
    }
    while (q.next())
        out.append(recordAt(q, 1)); // after id
    if (q.lastError().isValid())
        failedWith(q.lastError(), QStringLiteral("read"));
    return out;
}

bool History::nameRows(QSqlQuery &q)
{
    QList<qint64> ids;
    if (!q.exec(QStringLiteral("SELECT id FROM updates WHERE uuid IS NULL")))
        return false;
    while (q.next())
        ids << q.value(0).toLongLong();
    for (const qint64 id : ids) {
        q.prepare(QStringLiteral("UPDATE updates SET uuid = :uuid WHERE id = :id AND uuid IS NULL"));
        q.bindValue(QStringLiteral(":uuid"), newRowId());
        q.bindValue(QStringLiteral(":id"), id);
        if (!q.exec())
            return false;
    }
    return true;
}

QList<History::Unsent> History::unsent(int limit)
{
    QList<Unsent> out;
    if (!isOpen() || version < 4)
        return out;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    // A row that an older program added knows no identifier: it gets one, to be stored by.
    if (!nameRows(q)) {
        failedWith(q.lastError(), QStringLiteral("written"));
        return out;
    }
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1, revision FROM updates WHERE %2 ORDER BY id LIMIT :limit")
                  .arg(columns, QLatin1String(UnsentRows)));
    q.bindValue(QStringLiteral(":limit"), limit);
    if (!q.exec()) {
        failedWith(q.lastError(), QStringLiteral("read"));
        return out;
    }
    const int revision = int(Columns.size());
    while (q.next())
        out.append({recordAt(q, 1), q.value(revision).toLongLong()});
    if (q.lastError().isValid())
        failedWith(q.lastError(), QStringLiteral("read"));
    return out;
}

QString History::markSent(const QList<Unsent> &rows)
{
    if (!isOpen() || version < 4)
        return problem_.isEmpty() ? QStringLiteral("no history is kept") : problem_;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    // Only the revision that was sent: a row written again since waits for its next turn.
    q.prepare(
        QStringLiteral("UPDATE updates SET sent_revision = :revision WHERE uuid = :uuid AND revision = :revision"));
    bool done = db.transaction();
    for (const Unsent &u : rows) {
        if (!done)
            break;
        q.bindValue(QStringLiteral(":revision"), u.revision);
        q.bindValue(QStringLiteral(":uuid"), u.record.uuid);
        done = q.exec();
    }
    if (done && db.commit())
        return QString();
    const QSqlError error = q.lastError().isValid() ? q.lastError() : db.lastError();
    db.rollback();
    return QStringLiteral("the history at %1 cannot be written: %2").arg(path_, reasonOf(error));
}

int History::unsentCount()
{
    if (!isOpen() || columns.isEmpty())
        return 0;
    if (version < 4) // nothing of this file was ever sent
        return int(rows().size());
    QSqlQuery q(QSqlDatabase::database(connection, false));
    if (!q.exec(QStringLiteral("SELECT count(*) FROM updates WHERE %1").arg(QLatin1String(UnsentRows))) || !q.next()) {
        failedWith(q.lastError(), QStringLiteral("read"));
        return -1;
    }
    return q.value(0).toInt();
}

QString History::bootSerialOf(const QString &serial)
{
    if (!isOpen() || columns.isEmpty() || serial.isEmpty() || version < 2)
        return QString();
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(
        QStringLiteral("SELECT DISTINCT boot_serial FROM updates WHERE serial = :serial AND boot_serial IS NOT NULL"));
    q.bindValue(QStringLiteral(":serial"), serial);
    if (!q.exec() || !q.next())
        return QString();
    const QString boot = q.value(0).toString();
    // A board whose boot loader has shown several serials promises none.
    return q.next() ? QString() : boot;
}

QString History::serialLeftAt(const QString &location, const QString &bootSerial)
{
    if (!isOpen() || columns.isEmpty() || location.isEmpty() || bootSerial.isEmpty() || version < 2)
        return QString();
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral("SELECT serial, result FROM updates WHERE location = :location AND boot_serial = :boot "
                             "ORDER BY started DESC, id DESC LIMIT 1"));
    q.bindValue(QStringLiteral(":location"), location);
    q.bindValue(QStringLiteral(":boot"), bootSerial);
    if (!q.exec() || !q.next())
        return QString();
    const QString result = q.value(1).toString();
    const bool leftInDfuMode = result == QLatin1String("interrupted") || result == QLatin1String("failed");
    return leftInDfuMode && q.value(0).toString() != bootSerial ? q.value(0).toString() : QString();
}

QStringList History::backupsOf(const QString &sha256)
{
    QStringList serials;
    if (!isOpen() || columns.isEmpty() || sha256.isEmpty())
        return serials;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral("SELECT DISTINCT serial FROM updates WHERE result = 'backup' AND file_sha256 = :sha "
                             "AND serial IS NOT NULL"));
    q.bindValue(QStringLiteral(":sha"), sha256);
    if (q.exec()) {
        while (q.next())
            serials << q.value(0).toString();
    }
    return serials;
}

void addKnownSerials(QList<Device> &devices, History &history)
{
    for (Device &d : devices) {
        if (d.dfuMode() && d.appSerial.isEmpty())
            d.appSerial = history.serialLeftAt(d.location, d.serial);
    }
}

QString newRowId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

History::Record historyRow(const Road &road)
{
    History::Record r;
    r.uuid = road.uuid;
    r.started = road.started;
    r.ended = road.ended;
    r.program = road.program;
    r.programVersion = QStringLiteral(TOLVEX_VERSION);
    r.host = QSysInfo::machineHostName();
    r.product = !road.product.isEmpty() ? road.product : road.bootProduct;
    // The board's own serial, and its boot loader's beside it.
    r.serial = !road.serial.isEmpty() ? road.serial : road.bootSerial;
    r.bootSerial = road.bootSerial;
    r.location = road.location;
    r.label = road.label;
    r.versionBefore = road.versionBefore;
    r.versionAfter = road.versionAfter;
    if (!road.filePath.isEmpty())
        r.file = QFileInfo(road.filePath).absoluteFilePath();
    r.fileSha256 = road.fileSha256;
    r.fileRelease = releaseOfFile(road.fileRelease).text;
    r.imageName = road.imageName;
    if (road.sectorsTouched > 0) {
        r.sectorsWritten = road.sectorsTouched - road.sectorsKept;
        r.sectorsKept = road.sectorsKept;
    }
    r.bytesVerified = road.bytesVerified;
    using O = Road::Outcome;
    switch (road.outcome) {
    case O::Running: r.result = QStringLiteral("running"); break;
    case O::Done:
        r.result = keptEverySector(road.sectorsTouched, road.sectorsKept) ? QStringLiteral("up to date")
                                                                          : QStringLiteral("done");
        break;
    case O::Refused: r.result = QStringLiteral("refused"); break;
    case O::Interrupted: r.result = QStringLiteral("interrupted"); break;
    case O::Replaced: r.result = QStringLiteral("replaced"); break;
    case O::Failed: r.result = QStringLiteral("failed"); break;
    case O::Backup: r.result = QStringLiteral("backup"); break;
    }
    r.message = road.message;
    r.seconds = double(road.elapsedMs) / 1000.0;
    return r;
}

} // namespace update
