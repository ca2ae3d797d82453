#include "Central.h"

#include "HistorySql_p.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace update {

namespace {

// A statement that takes longer is stopped, so that a slow server holds no forwarder for long.
constexpr int StatementTimeoutMs = 10000;
// Taken while the schema is made, so that stations starting together make it once.
constexpr qint64 SchemaLock = 0x54565848;

const char *const CreateSchema[] = {
    "CREATE TABLE tolvex_updates ("
    " uuid text PRIMARY KEY, revision bigint NOT NULL,"
    " started timestamptz NOT NULL, ended timestamptz,"
    " program text NOT NULL, program_version text, host text, label text,"
    " product text, serial text, boot_serial text, location text,"
    " version_before text, version_after text,"
    " file text, file_sha256 text, file_release text, image_name text,"
    " sectors_written integer, sectors_kept integer, bytes_verified bigint,"
    " result text NOT NULL, message text, seconds double precision,"
    " received timestamptz NOT NULL DEFAULT clock_timestamp())",
    // A support desk asks by serial (own or boot loader's), by time and by station.
    "CREATE INDEX tolvex_updates_serial ON tolvex_updates (serial)",
    "CREATE INDEX tolvex_updates_boot_serial ON tolvex_updates (boot_serial)",
    "CREATE INDEX tolvex_updates_started ON tolvex_updates (started)",
    "CREATE INDEX tolvex_updates_host ON tolvex_updates (host, started)",
};

// Version 2: every row has an owner, the role that wrote it, set by the server; a role reads
// every row and changes only its own, so that one station cannot rewrite another's rows.
const char *const OwnedRows[] = {
    "ALTER TABLE tolvex_updates ADD COLUMN IF NOT EXISTS written_by name NOT NULL DEFAULT current_user",
    "ALTER TABLE tolvex_updates ENABLE ROW LEVEL SECURITY",
    // The table's owner (the first station) too.
    "ALTER TABLE tolvex_updates FORCE ROW LEVEL SECURITY",
    "CREATE POLICY tolvex_read ON tolvex_updates FOR SELECT USING (true)",
    "CREATE POLICY tolvex_add ON tolvex_updates FOR INSERT WITH CHECK (written_by = current_user)",
    "CREATE POLICY tolvex_change ON tolvex_updates FOR UPDATE USING (written_by = current_user)"
    " WITH CHECK (written_by = current_user)",
    // What a factory's other systems read: names as the history's CSV gives them, and the
    // revision left out.
    "CREATE OR REPLACE VIEW tolvex_update_history AS SELECT"
    " uuid AS id, started, ended, host, label AS station_label, program, program_version,"
    " product, serial, boot_serial, location, version_before, version_after,"
    " file, file_sha256, file_release, image_name, sectors_written, sectors_kept, bytes_verified,"
    " result, message, seconds, received, written_by FROM tolvex_updates",
};

// Version 3: an index for each of the support desk's other questions. Made by the owner of the
// table; a station's role that may only write rows leaves them to it.
QStringList indexedQuestions()
{
    return {QStringLiteral("CREATE INDEX IF NOT EXISTS tolvex_updates_sha256 ON tolvex_updates (file_sha256)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS tolvex_updates_file_name ON tolvex_updates ((%1))")
            .arg(QLatin1String(FileNameSql)),
        QStringLiteral("CREATE INDEX IF NOT EXISTS tolvex_updates_result ON tolvex_updates (result)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS tolvex_updates_label ON tolvex_updates (label)"),
        // Who ran a station, the lot and the label scanned; the view gains them at its end.
        QStringLiteral("ALTER TABLE tolvex_updates ADD COLUMN IF NOT EXISTS operator_name text"),
        QStringLiteral("ALTER TABLE tolvex_updates ADD COLUMN IF NOT EXISTS lot text"),
        QStringLiteral("ALTER TABLE tolvex_updates ADD COLUMN IF NOT EXISTS scanned_label text"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS tolvex_updates_operator ON tolvex_updates (operator_name)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS tolvex_updates_lot ON tolvex_updates (lot)"),
        QStringLiteral("CREATE OR REPLACE VIEW tolvex_update_history AS SELECT"
                       " uuid AS id, started, ended, host, label AS station_label, program, program_version,"
                       " product, serial, boot_serial, location, version_before, version_after,"
                       " file, file_sha256, file_release, image_name, sectors_written, sectors_kept, bytes_verified,"
                       " result, message, seconds, received, written_by, operator_name, lot, scanned_label"
                       " FROM tolvex_updates")};
}

// libpq's messages come over several lines; ours are one.
QString reasonOf(const QSqlError &e)
{
    return sql::reasonOf(e).simplified();
}

} // namespace

Central::Central(const QString &connection, Mode mode)
    : connection(sql::connectionName("tolvex-central"))
    , shown_(maskedConnection(connection))
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        problem_ = QStringLiteral("the central history at %1 cannot be reached: Qt's PostgreSQL driver is not "
                                  "installed (Debian: libqt6sql6-psql)")
                       .arg(shown_);
        return;
    }
    QString options;
    const Outcome usable =
        centralDriverOptions(connection, options)
            .within(QStringLiteral("the central history's connection %1 cannot be used").arg(shown_));
    if (!usable) {
        problem_ = usable.message();
        return;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), this->connection);
    db.setConnectOptions(options);
    if (!db.open()) {
        fail(QStringLiteral("reached"), reasonOf(db.lastError()));
        return;
    }
    const QVariant handle = db.driver()->handle();
    // Qt's driver names the type as libpq's header spells it behind the typedef.
    if (handle.isValid()
        && (qstrcmp(handle.typeName(), "PGconn*") == 0 || qstrcmp(handle.typeName(), "pg_conn*") == 0)) {
        PGconn *pg = *static_cast<PGconn *const *>(handle.data());
        std::lock_guard<std::mutex> lock(cancelMutex);
        // A descriptor of our own for the connection's socket: libpq may close its own when
        // the connection breaks, and its number could then name another file.
        if (PQsocket(pg) >= 0)
            socket = ::fcntl(PQsocket(pg), F_DUPFD_CLOEXEC, 0);
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SET statement_timeout = %1").arg(StatementTimeoutMs))) {
        fail(QStringLiteral("prepared"), reasonOf(q.lastError()));
        return;
    }
    if (mode == Mode::Write) {
        open = prepareSchema();
        return;
    }
    if (!q.exec(QStringLiteral("SELECT to_regclass('tolvex_update_history') IS NOT NULL")) || !q.next()) {
        fail(QStringLiteral("read"), reasonOf(q.lastError()));
        return;
    }
    if (!q.value(0).toBool()) {
        fail(QStringLiteral("read"), QStringLiteral("it holds no history yet (no station has sent a row)"));
        return;
    }
    open = true;
}

Central::~Central()
{
    {
        std::lock_guard<std::mutex> lock(cancelMutex);
        if (socket >= 0)
            ::close(socket);
        socket = -1;
    }
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(connection))
        QSqlDatabase::removeDatabase(connection);
}

void Central::abort()
{
    // Shutting the socket down wakes a wait in libpq at once, whatever the network does; a
    // cancel request would itself wait on a silent network. The server ends the statement by
    // its own timeout.
    std::lock_guard<std::mutex> lock(cancelMutex);
    if (socket >= 0)
        ::shutdown(socket, SHUT_RDWR);
}

void Central::fail(const QString &doing, const QString &why)
{
    open = false;
    problem_ = QStringLiteral("the central history at %1 cannot be %2: %3").arg(shown_, doing, why);
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (db.isValid())
        db.close();
}

bool Central::prepareSchema()
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    // Present already: a role that may only write rows needs no right to make tables.
    if (!q.exec(QStringLiteral("SELECT to_regclass('tolvex_schema') IS NOT NULL")) || !q.next()) {
        fail(QStringLiteral("read"), reasonOf(q.lastError()));
        return false;
    }
    const auto version = [&] {
        return q.exec(QStringLiteral("SELECT max(version) FROM tolvex_schema")) && q.next() ? q.value(0).toInt() : -1;
    };
    int before = -1;
    if (q.value(0).toBool()) {
        before = version();
        if (before >= SchemaVersion) // this one, or a newer program's: rows go in the columns known here
            return true;
    }
    if (!db.transaction()) {
        fail(QStringLiteral("prepared"), reasonOf(db.lastError()));
        return false;
    }
    bool done = q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(SchemaLock))
                && q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS tolvex_schema (version integer NOT NULL)"));
    // Another station may have made it while this one waited for the lock.
    const int found = done ? version() : -1;
    done = found >= 0;
    if (done && found < 1) {
        for (const char *sql : CreateSchema)
            done = done && q.exec(QString::fromLatin1(sql));
    }
    if (done && found < 2) {
        for (const char *sql : OwnedRows)
            done = done && q.exec(QString::fromLatin1(sql));
    }
    if (done && found < SchemaVersion) {
        for (const QString &sql : indexedQuestions())
            done = done && q.exec(sql);
        done = done && q.exec(QStringLiteral("INSERT INTO tolvex_schema (version) VALUES (%1)").arg(SchemaVersion));
    }
    if (!done || !db.commit()) {
        const QString why = reasonOf(done ? db.lastError() : q.lastError());
        db.rollback();
        // A role that may only write rows cannot give an older schema its row owners: its
        // rows still go in, and the owner of the tables is to connect once.
        if (before >= 1) {
            stationColumns = before >= 3;
            qWarning("Central history at %s: its schema is version %d, not %d; %s until the owner of its tables "
                     "connects once (%s)",
                qPrintable(shown_), before, SchemaVersion,
                before < 2 ? "rows have no owners" : "some questions read the whole table", qPrintable(why));
            return true;
        }
        fail(QStringLiteral("prepared"), why);
        return false;
    }
    return true;
}

Outcome Central::put(const QList<History::Unsent> &rows)
{
    if (!open)
        return Outcome::unavailable(problem_);
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    if (!db.transaction()) {
        fail(QStringLiteral("written"), reasonOf(db.lastError()));
        return Outcome::unavailable(problem_);
    }
    q.prepare(QStringLiteral(
        "INSERT INTO tolvex_updates (uuid, revision, started, ended, program, program_version, host, label, product, "
        "serial, boot_serial, location, version_before, version_after, file, file_sha256, file_release, image_name, "
        "sectors_written, sectors_kept, bytes_verified, result, message, seconds, received%1) "
        "VALUES (:uuid, :revision, CAST(:started AS timestamptz), CAST(:ended AS timestamptz), :program, :version, "
        ":host, :label, :product, :serial, :boot, :location, :before, :after, :file, :sha, :release, :image, "
        ":written, :kept, :verified, :result, :message, :seconds, clock_timestamp()%2) "
        "ON CONFLICT (uuid) DO UPDATE SET revision = EXCLUDED.revision, started = EXCLUDED.started, "
        "ended = EXCLUDED.ended, program = EXCLUDED.program, program_version = EXCLUDED.program_version, "
        "host = EXCLUDED.host, label = EXCLUDED.label, product = EXCLUDED.product, serial = EXCLUDED.serial, "
        "boot_serial = EXCLUDED.boot_serial, location = EXCLUDED.location, "
        "version_before = EXCLUDED.version_before, version_after = EXCLUDED.version_after, file = EXCLUDED.file, "
        "file_sha256 = EXCLUDED.file_sha256, file_release = EXCLUDED.file_release, "
        "image_name = EXCLUDED.image_name, sectors_written = EXCLUDED.sectors_written, "
        "sectors_kept = EXCLUDED.sectors_kept, bytes_verified = EXCLUDED.bytes_verified, result = EXCLUDED.result, "
        "message = EXCLUDED.message, seconds = EXCLUDED.seconds, received = EXCLUDED.received%3 "
        // An older copy, sent late by another forwarder of the same history, replaces nothing.
        "WHERE tolvex_updates.revision <= EXCLUDED.revision")
                  // A schema older than the station's columns (its owner has not connected since)
                  // still takes the rest of the row.
                  .arg(stationColumns ? QStringLiteral(", operator_name, lot, scanned_label") : QString(),
                      stationColumns ? QStringLiteral(", :operator, :lot, :scanned") : QString(),
                      stationColumns ? QStringLiteral(", operator_name = EXCLUDED.operator_name, lot = EXCLUDED.lot, "
                                                      "scanned_label = EXCLUDED.scanned_label")
                                     : QString()));
    bool done = true;
    for (const History::Unsent &u : rows) {
        const History::Record &r = u.record;
        bindRow(q, r);
        q.bindValue(QStringLiteral(":revision"), u.revision);
        // PostgreSQL's text holds no NUL, which a device's strings may: one such row would stop
        // every row behind it.
        const QVariantList values = q.boundValues();
        for (int i = 0; i < values.size(); ++i) {
            if (values[i].typeId() == QMetaType::QString && values[i].toString().contains(QChar(0)))
                q.bindValue(i, values[i].toString().remove(QChar(0)));
        }
        if (!q.exec()) {
            done = false;
            break;
        }
    }
    if (done && db.commit())
        return Outcome::ok();
    const QString why = reasonOf(done ? db.lastError() : q.lastError());
    db.rollback();
    // A statement the server refused, on a connection that still answers: the rows' fault.
    QSqlQuery alive(db);
    if (!done && alive.exec(QStringLiteral("SELECT 1")) && alive.next()) {
        problem_ = QStringLiteral("the central history at %1 refused a row: %2").arg(shown_, why);
        return Outcome::refused(problem_);
    }
    fail(QStringLiteral("written"), why);
    return Outcome::unavailable(problem_);
}

namespace {

// The support desk's view, in the columns of History's own order (see recordAt()), its times as
// milliseconds since the epoch: no text format of the server's to read back.
QString selectRows(bool stationColumns)
{
    const auto ms = [](const char *column) {
        return QStringLiteral("CAST(extract(epoch FROM %1) * 1000 AS bigint)").arg(QLatin1String(column));
    };
    return QStringLiteral("SELECT id, NULL, NULL, program, program_version, host, product, serial, boot_serial, "
                          "location, version_before, version_after, file, file_sha256, file_release, "
                          "image_name, sectors_written, sectors_kept, bytes_verified, result, message, "
                          "seconds, station_label, %4, %1, %2, %3 FROM tolvex_update_history WHERE true")
        .arg(ms("started"), ms("ended"), ms("received"),
            stationColumns ? QStringLiteral("operator_name, lot, scanned_label") : QStringLiteral("NULL, NULL, NULL"));
}

const FilterTerms CentralTerms{QStringLiteral("(serial = :serial OR boot_serial = :serial)"),
    QStringLiteral("started >= CAST(:since AS timestamptz)"), QStringLiteral("started < CAST(:until AS timestamptz)"),
    QStringLiteral("station_label = :label")};

} // namespace

QList<History::Record> Central::rows(const History::Filter &filter)
{
    QList<History::Record> out;
    if (!open)
        return out;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.setForwardOnly(true);
    prepareFiltered(q, selectRows(stationColumns), filter, CentralTerms);
    if (!q.exec()) {
        fail(QStringLiteral("read"), reasonOf(q.lastError()));
        return out;
    }
    const auto time = [&](int i) {
        return q.value(i).isNull() ? QDateTime() : QDateTime::fromMSecsSinceEpoch(q.value(i).toLongLong(), Qt::UTC);
    };
    while (q.next()) {
        History::Record r = recordAt(q, 0);
        r.started = time(26);
        r.ended = time(27);
        r.received = time(28);
        out.append(r);
    }
    if (q.lastError().isValid())
        fail(QStringLiteral("read"), reasonOf(q.lastError()));
    return out;
}

QStringList Central::plan(const History::Filter &filter, bool indexesOnly)
{
    QStringList steps;
    if (!open)
        return steps;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    if (!db.transaction())
        return steps;
    // Local to the transaction, which is rolled back.
    if (!indexesOnly || q.exec(QStringLiteral("SET LOCAL enable_seqscan = off"))) {
        // The server prepares no EXPLAIN: the values go in as the driver quotes them.
        const auto literal = [&db](const QVariant &value) {
            QSqlField field(QStringLiteral("value"), value.metaType());
            field.setValue(value);
            return db.driver()->formatValue(field);
        };
        if (q.exec(prepareFiltered(
                q, QStringLiteral("EXPLAIN ") + selectRows(stationColumns), filter, CentralTerms, literal))) {
            while (q.next())
                steps << q.value(0).toString();
        }
    }
    db.rollback();
    return steps;
}

} // namespace update
