// tolvex-dfu history: the update history as a table, JSON lines or CSV, this computer's or the
// central one's; and the sending of the rows that wait to the central one.

#include "Commands.h"

#include "CommandSupport.h"
#include "DisplayText.h"
#include "Forwarder.h"
#include "History.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <algorithm>

namespace cli {

namespace {

// The central history asked for, into `connection`; Refused, saying why, when there is none.
Outcome centralAskedFor(const Options &o, QString &connection)
{
    update::HistorySettings settings;
    const Outcome read = update::historySettings(o.central.value_or(QString()), settings);
    connection = settings.central;
    if (!connection.isEmpty())
        return Outcome::ok();
    return read ? Outcome::refused(QStringLiteral("no central history is set: give --central URL, or put its URL in "
                                                  "$XDG_CONFIG_HOME/tolvex-dfu/central.conf or "
                                                  "/etc/tolvex-dfu/central.conf"))
                : read;
}

// history --sync: every row that waits, in order, now.
int sync(const Options &o, const Io &io, Output &out, const QString &path)
{
    QString connection;
    const Outcome asked = centralAskedFor(o, connection);
    if (!asked)
        return ends(out, ExitFailed, asked.message());
    update::Forwarder::Tally t;
    QList<update::History::SetAside> asides;
    if (QFileInfo::exists(path)) {
        update::History local(path);
        std::unique_ptr<update::Central> central;
        t = update::Forwarder::pass(local, connection, central, [&io] { return interrupted(io); });
        asides = local.setAsideRows();
    } else {
        t.waiting = 0; // no history here: nothing waits
    }
    // Rows the server refused wait for nothing: each is named, with the server's reason.
    QJsonArray refused;
    for (const update::History::SetAside &a : asides) {
        refused.append(QJsonObject{{QStringLiteral("id"), a.uuid}, {QStringLiteral("reason"), a.reason}});
        if (!o.json)
            out.problem(QStringLiteral("Central history: row %1 is set aside: %2").arg(a.uuid, a.reason));
    }
    const QString shown = update::maskedConnection(connection);
    const int exit = interrupted(io)                         ? int(ExitInterrupted)
                     : t.problem.isEmpty() && t.waiting == 0 ? int(ExitDone)
                                                             : int(ExitFailed);
    if (o.json) {
        out.event({{QStringLiteral("event"), QStringLiteral("sync")}, {QStringLiteral("central"), shown},
            {QStringLiteral("sent"), t.sent},
            {QStringLiteral("waiting"), t.waiting < 0 ? QJsonValue() : QJsonValue(t.waiting)},
            {QStringLiteral("message"), t.problem}, {QStringLiteral("setAside"), refused},
            {QStringLiteral("exit"), exit}});
        return exit;
    }
    if (!t.problem.isEmpty())
        out.problem(QStringLiteral("Central history: ") + t.problem);
    out.line(QStringLiteral("central history at %1: %2 row%3 sent, %4 wait%5")
                 .arg(shown)
                 .arg(t.sent)
                 .arg(t.sent == 1 ? QString() : QStringLiteral("s"))
                 .arg(t.waiting < 0 ? QStringLiteral("an unknown number of rows") : QString::number(t.waiting))
                 .arg(t.waiting == 1 ? QStringLiteral("s") : QString()));
    return exit;
}

// A date or time as --since, --until and --before take it: a date is its midnight (with
// `dayEnd`, the next one), a value without a zone is in the zone the table shows. Invalid when
// it cannot be read.
QDateTime when(const QString &text, bool utc, bool dayEnd)
{
    const Qt::TimeSpec zone = utc ? Qt::UTC : Qt::LocalTime;
    // (QDate reads the date part of a date-time too.)
    const QDate day = text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate();
    if (day.isValid())
        return QDateTime(dayEnd ? day.addDays(1) : day, QTime(0, 0), zone);
    QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (t.isValid() && t.timeSpec() == Qt::LocalTime)
        t.setTimeSpec(zone);
    return t;
}

const char WhenForms[] = "2026-12-01, 2026-12-01T08:00 (local time), 2026-12-01T08:00:00Z or 2026-12-01T08:00+01:00";

// history --prune --before DATE: the rows that started before it go, those the central history
// holds where one is set, in batches short enough that a station writing beside it never waits.
int prune(const Options &o, const Io &io, Output &out, const QString &path)
{
    if (!o.before)
        return ends(out, ExitUsage, QStringLiteral("--prune needs --before DATE"));
    const QDateTime before = when(*o.before, o.utc, false);
    if (!before.isValid())
        return ends(
            out, ExitUsage, QStringLiteral("--before takes a date or time such as %1").arg(QLatin1String(WhenForms)));
    if (before > QDateTime::currentDateTimeUtc())
        return ends(out, ExitUsage,
            QStringLiteral("--before %1 is in the future: rows still being written would go").arg(*o.before));
    update::HistorySettings settings;
    const Outcome read = update::historySettings(o.central.value_or(QString()), settings);
    if (!read)
        out.problem(read.within(QStringLiteral("Central history")).message());
    const QString &connection = settings.central;
    if (!QFileInfo::exists(path))
        return ends(out, ExitFailed, QStringLiteral("there is no history at %1").arg(path));
    update::History history(path);
    if (!history.isOpen())
        return ends(out, ExitFailed, history.problem());
    const bool centralOnly = !connection.isEmpty();
    const QString date = before.toString(Qt::ISODate);
    if (!centralOnly)
        out.problem(QStringLiteral("No central history is set: the rows that started before %1 are deleted, and "
                                   "no other store keeps them")
                        .arg(date));
    // A batch holds the file's write lock for some 50 ms; the pause between two, as long at
    // least, lets a writer waiting on it in, and leaves half the disk and a processor to a
    // station beside it.
    constexpr int Batch = 500;
    qint64 deleted = 0;
    const QString why = history.prune(
        before, centralOnly, Batch, deleted, [&io] { return !interrupted(io); },
        [](int heldMs) { QThread::msleep(std::max(25, heldMs)); });
    const qint64 kept = history.prunable(before, false);
    const int exit = interrupted(io) ? int(ExitInterrupted) : why.isEmpty() ? int(ExitDone) : int(ExitFailed);
    if (o.json) {
        out.event({{QStringLiteral("event"), QStringLiteral("prune")}, {QStringLiteral("before"), date},
            {QStringLiteral("deleted"), deleted}, {QStringLiteral("kept"), kept < 0 ? QJsonValue() : QJsonValue(kept)},
            {QStringLiteral("central"), centralOnly ? QJsonValue(update::maskedConnection(connection)) : QJsonValue()},
            {QStringLiteral("message"), why}, {QStringLiteral("exit"), exit}});
        return exit;
    }
    if (!why.isEmpty())
        out.problem(QStringLiteral("History: ") + why);
    out.line(QStringLiteral("%1 row%2 that started before %3 deleted from %4")
                 .arg(deleted)
                 .arg(deleted == 1 ? QString() : QStringLiteral("s"), date, path));
    if (kept > 0)
        out.line(QStringLiteral("%1 row%2 before it kept: the central history does not hold %3 yet (\"tolvex-dfu "
                                "history --sync\" sends %3)")
                     .arg(kept)
                     .arg(kept == 1 ? QStringLiteral(" is") : QStringLiteral("s are"),
                         kept == 1 ? QStringLiteral("it") : QStringLiteral("them")));
    return exit;
}

// The results a row can have.
const QStringList Results{QStringLiteral("running"), QStringLiteral("done"), QStringLiteral("refused"),
    QStringLiteral("failed"), QStringLiteral("interrupted"), QStringLiteral("up to date"), QStringLiteral("replaced"),
    QStringLiteral("pulled"), QStringLiteral("backup")};

} // namespace

int history(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    if (!o.positional.isEmpty())
        return ends(out, ExitUsage, QStringLiteral("unexpected argument %1").arg(o.positional.first()));
    if (o.json && o.csv)
        return ends(out, ExitUsage, QStringLiteral("--json and --csv exclude each other"));
    update::History::Filter filter;
    const auto time = [&](const std::optional<QString> &given, bool dayEnd, QDateTime &into) {
        if (!given)
            return true;
        into = when(*given, o.utc, dayEnd);
        return into.isValid();
    };
    if (!time(o.since, false, filter.since))
        return ends(
            out, ExitUsage, QStringLiteral("--since takes a date or time such as %1").arg(QLatin1String(WhenForms)));
    if (!time(o.until, true, filter.until))
        return ends(out, ExitUsage,
            QStringLiteral("--until takes a date (up to its end) or time such as %1").arg(QLatin1String(WhenForms)));
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{1,64}$"));
    if (o.sha256 && !hex.match(*o.sha256).hasMatch())
        return ends(out, ExitUsage, QStringLiteral("--sha256 takes 1 to 64 hexadecimal digits of a file's SHA-256"));
    if (o.result && !Results.contains(*o.result))
        return ends(
            out, ExitUsage, QStringLiteral("--result takes one of: %1").arg(Results.join(QStringLiteral(", "))));
    if (o.file && (o.file->isEmpty() || o.file->endsWith(QLatin1Char('/'))))
        return ends(out, ExitUsage, QStringLiteral("--file takes a file's name, such as fw_main_v2.dfu"));
    const QString path = o.history.value_or(update::History::defaultPath());
    if (o.sync)
        return sync(o, io, out, path);
    if (o.prune)
        return prune(o, io, out, path);
    filter.serial = o.serial.value_or(QString());
    filter.host = o.host.value_or(QString());
    filter.sha256 = o.sha256.value_or(QString()).toLower();
    filter.fileName = o.file.value_or(QString());
    filter.result = o.result.value_or(QString());
    filter.label = o.label.value_or(QString());
    filter.operatorName = o.operatorName.value_or(QString());
    filter.lot = o.lot.value_or(QString());
    QList<update::History::Record> rows;
    // An empty table must mean "no such rows", never "could not be read".
    if (o.central) {
        QString connection;
        const Outcome asked = centralAskedFor(o, connection);
        if (!asked)
            return ends(out, ExitFailed, asked.message());
        update::Central central(connection, update::Central::Mode::Read);
        if (central.isOpen())
            rows = central.rows(filter);
        if (!central.isOpen())
            return ends(out, ExitFailed, central.problem());
        out.note(QStringLiteral("the central history at %1").arg(central.shown()));
    } else {
        update::History history(path, update::History::Mode::Read);
        if (!history.isOpen())
            return ends(out, ExitFailed, history.problem());
        rows = history.rows(filter);
        if (!history.problem().isEmpty())
            return ends(out, ExitFailed, history.problem());
        out.note(QStringLiteral("the history of this computer at %1").arg(path));
    }
    const QString store = o.central ? QStringLiteral("central") : QStringLiteral("local");
    const auto iso = [](const QDateTime &t) {
        return t.isValid() ? QJsonValue(t.toString(Qt::ISODateWithMs)) : QJsonValue();
    };
    const auto number = [](qint64 n) { return n < 0 ? QJsonValue() : QJsonValue(n); };
    if (o.json) {
        for (const update::History::Record &r : rows)
            out.event({{QStringLiteral("event"), QStringLiteral("history")}, {QStringLiteral("id"), known(r.uuid)},
                {QStringLiteral("started"), r.started.toString(Qt::ISODateWithMs)},
                {QStringLiteral("ended"), iso(r.ended)}, {QStringLiteral("program"), r.program},
                {QStringLiteral("programVersion"), known(r.programVersion)}, {QStringLiteral("host"), known(r.host)},
                {QStringLiteral("product"), known(r.product)}, {QStringLiteral("serial"), known(r.serial)},
                {QStringLiteral("bootSerial"), known(r.bootSerial)}, {QStringLiteral("device"), known(r.location)},
                {QStringLiteral("old"), known(r.versionBefore)}, {QStringLiteral("new"), known(r.versionAfter)},
                {QStringLiteral("file"), known(r.file)}, {QStringLiteral("sha256"), known(r.fileSha256)},
                {QStringLiteral("fileRelease"), known(r.fileRelease)}, {QStringLiteral("image"), known(r.imageName)},
                {QStringLiteral("sectorsWritten"), number(r.sectorsWritten)},
                {QStringLiteral("sectorsKept"), number(r.sectorsKept)},
                {QStringLiteral("bytesVerified"), number(r.bytesVerified)}, {QStringLiteral("result"), r.result},
                {QStringLiteral("message"), r.message}, {QStringLiteral("seconds"), r.seconds},
                {QStringLiteral("label"), known(r.label)}, {QStringLiteral("store"), store},
                {QStringLiteral("received"), iso(r.received)}, {QStringLiteral("operator"), known(r.operatorName)},
                {QStringLiteral("lot"), known(r.lot)}, {QStringLiteral("scannedLabel"), known(r.scannedLabel)}});
        return ExitDone;
    }
    if (o.csv) {
        io.out(
            QStringLiteral("started,ended,program,program_version,host,product,serial,location,version_before,"
                           "version_after,file,file_sha256,image_name,sectors_written,sectors_kept,"
                           "bytes_verified,result,message,seconds,file_release,boot_serial,id,label,store,operator,lot,"
                           "scanned_label\r\n"));
        for (const update::History::Record &r : rows) {
            const auto count = [](qint64 n) { return n < 0 ? QString() : QString::number(n); };
            QStringList f{r.started.toString(Qt::ISODateWithMs),
                r.ended.isValid() ? r.ended.toString(Qt::ISODateWithMs) : QString(), r.program, r.programVersion,
                r.host, r.product, r.serial, r.location, r.versionBefore, r.versionAfter, r.file, r.fileSha256,
                r.imageName, count(r.sectorsWritten), count(r.sectorsKept), count(r.bytesVerified), r.result, r.message,
                QString::number(r.seconds, 'f', 3), r.fileRelease, r.bootSerial, r.uuid, r.label, store, r.operatorName,
                r.lot, r.scannedLabel};
            for (QString &x : f)
                x = display::csvCell(x);
            io.out(f.join(QLatin1Char(',')) + QStringLiteral("\r\n"));
        }
        return ExitDone;
    }
    // The zone the times are shown in, named in the heading.
    const QString zone = o.utc ? QStringLiteral("UTC") : QDateTime::currentDateTime().timeZoneAbbreviation();
    const auto shown = [&](const QDateTime &t) { return o.utc ? t.toUTC() : t.toLocalTime(); };
    // Where it happened (a station's name or host, and its slot) beside what.
    out.line(tableLine({{QStringLiteral("STARTED (%1)").arg(zone), -20}, {QStringLiteral("HOST"), -12},
        {QStringLiteral("LABEL"), -8}, {QStringLiteral("SERIAL"), -12}, {QStringLiteral("PRODUCT"), -14},
        {QStringLiteral("VERSIONS"), -14}, {QStringLiteral("RESULT"), -11}, {QStringLiteral("PROGRAM"), 0}}));
    const auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    for (const update::History::Record &r : rows)
        out.line(tableLine(
            {{shown(r.started).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), -20}, {elided(orDash(r.host), 12), -12},
                {elided(orDash(r.label), 8), -8}, {elided(orDash(r.serial), 12), -12}, {elided(r.product, 14), -14},
                {elided((r.versionBefore.isEmpty() ? QStringLiteral("?") : r.versionBefore) + QStringLiteral("->")
                            + (r.versionAfter.isEmpty() ? QStringLiteral("?") : r.versionAfter),
                     14),
                    -14},
                {r.result, -11}, {r.program, 0}}));
    return ExitDone;
}

} // namespace cli
