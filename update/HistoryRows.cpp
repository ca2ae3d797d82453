// The history's rows: written whole by their identifier, read with the support desk's filters,
// handed to the forwarder and marked sent, and the lookups of a board's serials and backups.

#include "History.h"

#include "HistorySql_p.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace update {

using namespace sql;

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
    q.bindValue(QStringLiteral(":operator"), orNull(r.operatorName));
    q.bindValue(QStringLiteral(":lot"), orNull(r.lot));
    q.bindValue(QStringLiteral(":scanned"), orNull(r.scannedLabel));
}

Outcome History::notOpen() const
{
    const QString why = problem_.isEmpty() ? QStringLiteral("no history is kept") : problem_;
    return state_ == State::Unavailable ? Outcome::unavailable(why) : Outcome::failed(why);
}

Outcome History::cannotWrite(const QSqlError &error) const
{
    const int code = primaryCode(error);
    const QString why = QStringLiteral("the history at %1 cannot be written: %2").arg(path_, reasonOf(error));
    const bool later =
        code == Busy || code == Locked || code == ReadOnly || code == Full || code == IoError || code == CantOpen;
    return later ? Outcome::unavailable(why) : Outcome::failed(why);
}

Outcome History::put(const Record &r)
{
    if (!isOpen())
        return notOpen();
    // The error of the statement; none when it went in.
    const auto write = [&] {
        QSqlQuery q(QSqlDatabase::database(connection, false));
        q.prepare(QStringLiteral(
            "INSERT INTO updates (uuid, started, ended, program, program_version, host, product, serial, boot_serial, "
            "location, version_before, version_after, file, file_sha256, file_release, image_name, sectors_written, "
            "sectors_kept, bytes_verified, result, message, seconds, label, operator_name, lot, scanned_label) "
            "VALUES (:uuid, :started, :ended, :program, :version, :host, :product, :serial, :boot, :location, :before, "
            ":after, :file, :sha, :release, :image, :written, :kept, :verified, :result, :message, :seconds, :label, "
            ":operator, :lot, :scanned) "
            "ON CONFLICT (uuid) DO UPDATE SET started = excluded.started, ended = excluded.ended, "
            "program = excluded.program, program_version = excluded.program_version, host = excluded.host, "
            "product = excluded.product, serial = excluded.serial, boot_serial = excluded.boot_serial, "
            "location = excluded.location, version_before = excluded.version_before, "
            "version_after = excluded.version_after, file = excluded.file, file_sha256 = excluded.file_sha256, "
            "file_release = excluded.file_release, image_name = excluded.image_name, "
            "sectors_written = excluded.sectors_written, sectors_kept = excluded.sectors_kept, "
            "bytes_verified = excluded.bytes_verified, result = excluded.result, message = excluded.message, "
            "seconds = excluded.seconds, label = excluded.label, operator_name = excluded.operator_name, "
            "lot = excluded.lot, scanned_label = excluded.scanned_label"));
        bindRow(q, r);
        return q.exec() ? QSqlError() : q.lastError();
    };
    QSqlError error = write();
    if (!error.isValid())
        return Outcome::ok();
    // Damage found here (not at opening, which reads little): the file goes aside, the row in a
    // new one.
    const int found = primaryCode(error);
    if ((found == Corrupt || found == NotADb) && failedWith(error, QStringLiteral("written")) && replaceDamaged()) {
        error = write();
        if (!error.isValid())
            return Outcome::ok();
    }
    return cannotWrite(error);
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
    r.operatorName = q.value(i++).toString();
    r.lot = q.value(i++).toString();
    r.scannedLabel = q.value(i++).toString();
    return r;
}

const char FileNameSql[] = "substr(file, length(rtrim(file, replace(file, '/', ''))) + 1)";

QString prepareFiltered(QSqlQuery &q, QString sql, const History::Filter &f, const FilterTerms &terms,
    const std::function<QString(const QVariant &)> &literal)
{
    // A hash's prefix as a range: what starts with "ab12" is at least "ab12" and below "ab12g".
    const QString sha = f.sha256.toLower();
    const QList<std::pair<bool, QString>> given{{!f.serial.isEmpty(), terms.serial}, {f.since.isValid(), terms.since},
        {f.until.isValid(), terms.until}, {!f.host.isEmpty(), QStringLiteral("host = :host")},
        {!sha.isEmpty(), QStringLiteral("file_sha256 >= :sha AND file_sha256 < :shaEnd")},
        {!f.fileName.isEmpty(), QStringLiteral("%1 = :fileName").arg(QLatin1String(FileNameSql))},
        {!f.result.isEmpty(), QStringLiteral("result = :result")}, {!f.label.isEmpty(), terms.label},
        {!f.operatorName.isEmpty(), QStringLiteral("operator_name = :operator")},
        {!f.lot.isEmpty(), QStringLiteral("lot = :lot")}};
    for (const auto &term : given) {
        if (term.first)
            sql += QStringLiteral(" AND ") + term.second;
    }
    sql += QStringLiteral(" ORDER BY started, id");
    QList<std::pair<QString, QVariant>> values;
    const auto value = [&](bool used, const char *name, const QVariant &v) {
        if (used)
            values.append({QLatin1String(name), v});
    };
    value(!f.serial.isEmpty(), ":serial", f.serial);
    value(f.since.isValid(), ":since", isoUtc(f.since));
    value(f.until.isValid(), ":until", isoUtc(f.until));
    value(!f.host.isEmpty(), ":host", f.host);
    value(!sha.isEmpty(), ":sha", sha);
    value(!sha.isEmpty(), ":shaEnd", sha + QLatin1Char('g'));
    value(!f.fileName.isEmpty(), ":fileName", f.fileName.section(QLatin1Char('/'), -1));
    value(!f.result.isEmpty(), ":result", f.result);
    value(!f.label.isEmpty(), ":label", f.label);
    value(!f.operatorName.isEmpty(), ":operator", f.operatorName);
    value(!f.lot.isEmpty(), ":lot", f.lot);
    if (literal) {
        for (const auto &v : values)
            sql.replace(
                QRegularExpression(QRegularExpression::escape(v.first) + QStringLiteral("\\b")), literal(v.second));
        return sql;
    }
    q.prepare(sql);
    for (const auto &v : values)
        q.bindValue(v.first, v.second);
    return sql;
}

FilterTerms History::terms() const
{
    // A board is found by its own serial or by its boot loader's.
    return {version >= 2 ? QStringLiteral("(serial = :serial OR boot_serial = :serial)")
                         : QStringLiteral("serial = :serial"),
        QStringLiteral("started >= :since"), QStringLiteral("started < :until"), QStringLiteral("label = :label")};
}

QList<History::Record> History::rows(const Filter &filter)
{
    QList<Record> out;
    if (!isOpen() || columns.isEmpty()) // a new file holds no table yet
        return out;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.setForwardOnly(true);
    prepareFiltered(q, QStringLiteral("SELECT %1 FROM updates WHERE 1").arg(columns), filter, terms());
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

QStringList History::plan(const Filter &filter)
{
    QStringList steps;
    if (!isOpen() || columns.isEmpty())
        return steps;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    prepareFiltered(
        q, QStringLiteral("EXPLAIN QUERY PLAN SELECT %1 FROM updates WHERE 1").arg(columns), filter, terms());
    if (q.exec()) {
        while (q.next())
            steps << q.value(3).toString();
    }
    return steps;
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

namespace {

// Marks each row sent at its revision, in the transaction under way: only the revision that was
// sent, so that a row written again since waits for its next turn.
bool markRevisions(QSqlQuery &q, const QList<History::Unsent> &rows)
{
    q.prepare(
        QStringLiteral("UPDATE updates SET sent_revision = :revision WHERE uuid = :uuid AND revision = :revision"));
    for (const History::Unsent &u : rows) {
        q.bindValue(QStringLiteral(":revision"), u.revision);
        q.bindValue(QStringLiteral(":uuid"), u.record.uuid);
        if (!q.exec())
            return false;
    }
    return true;
}

} // namespace

Outcome History::markSent(const QList<Unsent> &rows)
{
    if (!isOpen() || version < 4)
        return notOpen();
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    return finishWrite(db, q, db.transaction() && markRevisions(q, rows));
}

Outcome History::setAside(const Unsent &row, const QString &reason)
{
    if (!isOpen() || version < 4)
        return notOpen();
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    // A table of its own (made with schema 5), which older programs never read: the rows keep
    // their schema. Marked as sent at its revision, the row no longer holds the rows behind it.
    bool done = db.transaction();
    if (done) {
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO central_refused (uuid, revision, reason, at) "
                                 "VALUES (:uuid, :revision, :reason, :at)"));
        q.bindValue(QStringLiteral(":uuid"), row.record.uuid);
        q.bindValue(QStringLiteral(":revision"), row.revision);
        q.bindValue(QStringLiteral(":reason"), reason);
        q.bindValue(QStringLiteral(":at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        done = q.exec();
    }
    return finishWrite(db, q, done && markRevisions(q, {row}));
}

Outcome History::finishWrite(QSqlDatabase &db, QSqlQuery &q, bool done)
{
    if (done && db.commit())
        return Outcome::ok();
    const QSqlError error = q.lastError().isValid() ? q.lastError() : db.lastError();
    db.rollback();
    return cannotWrite(error);
}

QList<History::SetAside> History::setAsideRows()
{
    QList<SetAside> out;
    if (!isOpen() || version < 4)
        return out;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    if (!q.exec(QStringLiteral("SELECT c.uuid, c.revision, c.reason, c.at FROM central_refused c JOIN updates u "
                               "ON u.uuid = c.uuid AND u.revision = c.revision ORDER BY c.at")))
        return out; // no table: nothing was ever set aside
    while (q.next())
        out.append({q.value(0).toString(), q.value(1).toLongLong(), q.value(2).toString(),
            QDateTime::fromString(q.value(3).toString(), Qt::ISODateWithMs)});
    return out;
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

QString History::ownSerialOf(const QString &bootSerial)
{
    if (!isOpen() || columns.isEmpty() || bootSerial.isEmpty() || version < 2)
        return QString();
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral("SELECT DISTINCT serial FROM updates WHERE boot_serial = :boot AND serial IS NOT NULL "
                             "AND serial != '' LIMIT 2"));
    q.bindValue(QStringLiteral(":boot"), bootSerial);
    if (!q.exec() || !q.next())
        return QString();
    const QString serial = q.value(0).toString();
    return q.next() ? QString() : serial;
}

QStringList History::backupsOf(const QString &sha256, bool *recorded)
{
    QStringList serials;
    if (recorded)
        *recorded = false;
    if (!isOpen() || columns.isEmpty() || sha256.isEmpty())
        return serials;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare(QStringLiteral("SELECT DISTINCT serial FROM updates WHERE result = 'backup' AND file_sha256 = :sha"));
    q.bindValue(QStringLiteral(":sha"), sha256);
    if (q.exec()) {
        while (q.next()) {
            if (recorded)
                *recorded = true;
            // A backup of a board whose own serial was not known names no board.
            const QString serial = q.value(0).toString();
            if (!serial.isEmpty())
                serials << serial;
        }
    }
    return serials;
}

} // namespace update
