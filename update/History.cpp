#include "History.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>
#include <QtDebug>

namespace update {

namespace {

// Another writer may hold the database for a moment; an update never waits longer.
constexpr int BusyTimeoutMs = 5000;

QAtomicInteger<quint64> connections;

const char CreateTable[] = "CREATE TABLE IF NOT EXISTS updates ("
                           " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                           " started TEXT NOT NULL, ended TEXT,"
                           " program TEXT NOT NULL, program_version TEXT, host TEXT,"
                           " product TEXT, serial TEXT, boot_serial TEXT, location TEXT,"
                           " version_before TEXT, version_after TEXT,"
                           " file TEXT, file_sha256 TEXT, file_release TEXT, image_name TEXT,"
                           " sectors_written INTEGER, sectors_kept INTEGER, bytes_verified INTEGER,"
                           " result TEXT NOT NULL, message TEXT, seconds REAL)";

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

} // namespace

QString History::defaultPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tolvex-dfu/history.sqlite");
}

History::History(const QString &path)
    : connection(QStringLiteral("tolvex-history-%1").arg(connections.fetchAndAddRelaxed(1)))
{
    if (path.isEmpty())
        return;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        qWarning("History: Qt's SQLite driver is not installed; no history is kept.");
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (openAt(path))
        return;
    // Something that is no history of ours: kept aside for whoever wants to look, and a new
    // history started.
    {
        QSqlDatabase::database(connection, false).close();
    }
    QSqlDatabase::removeDatabase(connection);
    if (!QFileInfo::exists(path))
        return;
    const QString aside = path + QStringLiteral(".damaged-") + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddThhmmss"));
    if (!QFile::rename(path, aside)) {
        qWarning("History: %s cannot be read, nor set aside; no history is kept.", qPrintable(path));
        return;
    }
    QFile::remove(path + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));
    qWarning("History: %s was damaged; it is kept as %s and a new history is started.", qPrintable(path),
             qPrintable(aside));
    openAt(path);
}

History::~History()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(connection))
        QSqlDatabase::removeDatabase(connection);
}

bool History::openAt(const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
    if (!db.open()) {
        qWarning("History: cannot open %s: %s", qPrintable(path), qPrintable(db.lastError().text()));
        return false;
    }
    open = prepareSchema();
    return open;
}

bool History::prepareSchema()
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    // quick_check reads the whole file: a damaged one fails here, before anything is added.
    if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next() || q.value(0).toString() != QLatin1String("ok"))
        return false;
    q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return false;
    const int version = q.value(0).toInt();
    if (version > SchemaVersion) {
        // A newer program's history: rows are still added with the columns this one knows.
        return q.exec(QStringLiteral("SELECT id FROM updates LIMIT 1"));
    }
    // Version 0 is a new file, made whole; older ones take each step from their own on, in one
    // transaction, so that a file is never left half-way.
    bool done = true;
    if (version < 1) {
        done = q.exec(QString::fromLatin1(CreateTable));
    } else if (version < SchemaVersion) {
        done = db.transaction();
        // 2: the file's release, for the rollback rule; the boot loader's serial beside the
        // board's own.
        if (done && version < 2)
            done = q.exec(QStringLiteral("ALTER TABLE updates ADD COLUMN file_release TEXT"))
                   && q.exec(QStringLiteral("ALTER TABLE updates ADD COLUMN boot_serial TEXT"));
    }
    if (done && version < SchemaVersion)
        done = q.exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion));
    if (version >= 1 && version < SchemaVersion)
        done = done ? db.commit() : (db.rollback(), false);
    if (!done) {
        qWarning("History: cannot prepare the history: %s", qPrintable(q.lastError().text()));
        return false;
    }
    return true;
}

qint64 History::begin(const Record &r)
{
    if (!open)
        return -1;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral(
        "INSERT INTO updates (started, program, program_version, host, product, serial, boot_serial, location, "
        "version_before, file, file_sha256, file_release, image_name, result, message, seconds) "
        "VALUES (:started, :program, :version, :host, :product, :serial, :boot, :location, :before, :file, :sha, "
        ":release, :image, 'running', '', 0)"));
    q.bindValue(QStringLiteral(":started"), isoUtc(r.started.isValid() ? r.started : QDateTime::currentDateTimeUtc()));
    q.bindValue(QStringLiteral(":program"), r.program);
    q.bindValue(QStringLiteral(":version"), r.programVersion);
    q.bindValue(QStringLiteral(":host"), r.host);
    q.bindValue(QStringLiteral(":product"), orNull(r.product));
    q.bindValue(QStringLiteral(":serial"), orNull(r.serial));
    q.bindValue(QStringLiteral(":boot"), orNull(r.bootSerial));
    q.bindValue(QStringLiteral(":location"), orNull(r.location));
    q.bindValue(QStringLiteral(":before"), orNull(r.versionBefore));
    q.bindValue(QStringLiteral(":file"), orNull(r.file));
    q.bindValue(QStringLiteral(":sha"), orNull(r.fileSha256));
    q.bindValue(QStringLiteral(":release"), orNull(r.fileRelease));
    q.bindValue(QStringLiteral(":image"), orNull(r.imageName));
    if (!q.exec()) {
        qWarning("History: the update is not recorded: %s", qPrintable(q.lastError().text()));
        return -1;
    }
    return q.lastInsertId().toLongLong();
}

void History::finish(qint64 id, const Record &r)
{
    if (!open || id < 0)
        return;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral(
        "UPDATE updates SET ended = :ended, product = :product, serial = :serial, boot_serial = :boot, "
        "location = :location, "
        "version_before = :before, version_after = :after, image_name = :image, sectors_written = :written, "
        "sectors_kept = :kept, bytes_verified = :verified, result = :result, message = :message, seconds = :seconds "
        "WHERE id = :id"));
    q.bindValue(QStringLiteral(":ended"), isoUtc(r.ended.isValid() ? r.ended : QDateTime::currentDateTimeUtc()));
    q.bindValue(QStringLiteral(":product"), orNull(r.product));
    q.bindValue(QStringLiteral(":serial"), orNull(r.serial));
    q.bindValue(QStringLiteral(":boot"), orNull(r.bootSerial));
    q.bindValue(QStringLiteral(":location"), orNull(r.location));
    q.bindValue(QStringLiteral(":before"), orNull(r.versionBefore));
    q.bindValue(QStringLiteral(":after"), orNull(r.versionAfter));
    q.bindValue(QStringLiteral(":image"), orNull(r.imageName));
    q.bindValue(QStringLiteral(":written"), orNull(qint64(r.sectorsWritten)));
    q.bindValue(QStringLiteral(":kept"), orNull(qint64(r.sectorsKept)));
    q.bindValue(QStringLiteral(":verified"), orNull(r.bytesVerified));
    q.bindValue(QStringLiteral(":result"), r.result);
    q.bindValue(QStringLiteral(":message"), r.message);
    q.bindValue(QStringLiteral(":seconds"), r.seconds);
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec())
        qWarning("History: the end of the update is not recorded: %s", qPrintable(q.lastError().text()));
}

QList<History::Record> History::rows(const QString &serial, const QDateTime &since) const
{
    QList<Record> out;
    if (!open)
        return out;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    QString sql = QStringLiteral(
        "SELECT id, started, ended, program, program_version, host, product, serial, location, version_before, "
        "version_after, file, file_sha256, image_name, sectors_written, sectors_kept, bytes_verified, result, "
        "message, seconds, file_release, boot_serial FROM updates WHERE 1");
    // A board is found by its own serial or by its boot loader's.
    if (!serial.isEmpty())
        sql += QStringLiteral(" AND (serial = :serial OR boot_serial = :serial)");
    if (since.isValid())
        sql += QStringLiteral(" AND started >= :since");
    q.prepare(sql + QStringLiteral(" ORDER BY started, id"));
    if (!serial.isEmpty())
        q.bindValue(QStringLiteral(":serial"), serial);
    if (since.isValid())
        q.bindValue(QStringLiteral(":since"), isoUtc(since));
    if (!q.exec()) {
        qWarning("History: cannot read the history: %s", qPrintable(q.lastError().text()));
        return out;
    }
    while (q.next()) {
        Record r;
        r.id = q.value(0).toLongLong();
        r.started = QDateTime::fromString(q.value(1).toString(), Qt::ISODateWithMs);
        r.ended = QDateTime::fromString(q.value(2).toString(), Qt::ISODateWithMs);
        r.program = q.value(3).toString();
        r.programVersion = q.value(4).toString();
        r.host = q.value(5).toString();
        r.product = q.value(6).toString();
        r.serial = q.value(7).toString();
        r.location = q.value(8).toString();
        r.versionBefore = q.value(9).toString();
        r.versionAfter = q.value(10).toString();
        r.file = q.value(11).toString();
        r.fileSha256 = q.value(12).toString();
        r.imageName = q.value(13).toString();
        r.sectorsWritten = q.value(14).isNull() ? -1 : q.value(14).toInt();
        r.sectorsKept = q.value(15).isNull() ? -1 : q.value(15).toInt();
        r.bytesVerified = q.value(16).isNull() ? -1 : q.value(16).toLongLong();
        r.result = q.value(17).toString();
        r.message = q.value(18).toString();
        r.seconds = q.value(19).toDouble();
        r.fileRelease = q.value(20).toString();
        r.bootSerial = q.value(21).toString();
        out.append(r);
    }
    return out;
}

QString History::bootSerialOf(const QString &serial) const
{
    if (!open || serial.isEmpty())
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

QString History::serialLeftAt(const QString &location, const QString &bootSerial) const
{
    if (!open || location.isEmpty() || bootSerial.isEmpty())
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

void addKnownSerials(QList<Device> &devices, const History &history)
{
    for (Device &d : devices) {
        if (d.dfuMode() && d.appSerial.isEmpty())
            d.appSerial = history.serialLeftAt(d.location, d.serial);
    }
}

} // namespace update
