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
#include <QStringList>

namespace cli {

namespace {

// The central history asked for, or the reason there is none.
QString centralAskedFor(const Options &o, QString &problem)
{
    const QString connection = update::centralConnection(o.central.value_or(QString()), nullptr, &problem);
    if (connection.isEmpty() && problem.isEmpty())
        problem = QStringLiteral("no central history is set: give --central URL, or put its URL in "
                                 "$XDG_CONFIG_HOME/tolvex-dfu/central.conf or /etc/tolvex-dfu/central.conf");
    return connection;
}

// history --sync: every row that waits, in order, now.
int sync(const Options &o, const Io &io, Output &out, const QString &path)
{
    QString problem;
    const QString connection = centralAskedFor(o, problem);
    if (connection.isEmpty())
        return ends(out, ExitFailed, problem);
    update::Forwarder::Tally t;
    QList<update::History::SetAside> asides;
    if (QFileInfo::exists(path)) {
        std::unique_ptr<update::History> local;
        std::unique_ptr<update::Central> central;
        t = update::Forwarder::pass(path, connection, local, central, {}, [&io] { return interrupted(io); });
        if (local)
            asides = local->setAsideRows();
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

} // namespace

int history(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    if (!o.positional.isEmpty())
        return ends(out, ExitUsage, QStringLiteral("unexpected argument %1").arg(o.positional.first()));
    if (o.json && o.csv)
        return ends(out, ExitUsage, QStringLiteral("--json and --csv exclude each other"));
    QDateTime since;
    if (o.since) {
        // A date is its midnight; a value without a zone is in the zone the table shows.
        const Qt::TimeSpec zone = o.utc ? Qt::UTC : Qt::LocalTime;
        // (QDate reads the date part of a date-time too.)
        const QDate day = o.since->size() == 10 ? QDate::fromString(*o.since, Qt::ISODate) : QDate();
        since = day.isValid() ? QDateTime(day, QTime(0, 0), zone) : QDateTime::fromString(*o.since, Qt::ISODate);
        if (!since.isValid())
            return ends(out, ExitUsage,
                QStringLiteral("--since takes a date or time such as 2026-12-01, 2026-12-01T08:00 (local time), "
                               "2026-12-01T08:00:00Z or 2026-12-01T08:00+01:00"));
        if (!day.isValid() && since.timeSpec() == Qt::LocalTime)
            since.setTimeSpec(zone);
    }
    const QString path = o.history.value_or(update::History::defaultPath());
    if (o.sync)
        return sync(o, io, out, path);
    const QString serial = o.serial.value_or(QString()), host = o.host.value_or(QString());
    QList<update::History::Record> rows;
    // An empty table must mean "no such rows", never "could not be read".
    if (o.central) {
        QString problem;
        const QString connection = centralAskedFor(o, problem);
        if (connection.isEmpty())
            return ends(out, ExitFailed, problem);
        update::Central central(connection, update::Central::Mode::Read);
        if (central.isOpen())
            rows = central.rows(serial, since, host);
        if (!central.isOpen())
            return ends(out, ExitFailed, central.problem());
        out.note(QStringLiteral("the central history at %1").arg(central.shown()));
    } else {
        update::History history(path, update::History::Mode::Read);
        if (!history.isOpen())
            return ends(out, ExitFailed, history.problem());
        rows = history.rows(serial, since, host);
        if (!history.problem().isEmpty())
            return ends(out, ExitFailed, history.problem());
        out.note(QStringLiteral("the history of this computer at %1").arg(path));
    }
    const QString store = o.central ? QStringLiteral("central") : QStringLiteral("local");
    const auto time = [](const QDateTime &t) {
        return t.isValid() ? QJsonValue(t.toString(Qt::ISODateWithMs)) : QJsonValue();
    };
    const auto number = [](qint64 n) { return n < 0 ? QJsonValue() : QJsonValue(n); };
    if (o.json) {
        for (const update::History::Record &r : rows)
            out.event({{QStringLiteral("event"), QStringLiteral("history")}, {QStringLiteral("id"), known(r.uuid)},
                {QStringLiteral("started"), r.started.toString(Qt::ISODateWithMs)},
                {QStringLiteral("ended"), time(r.ended)}, {QStringLiteral("program"), r.program},
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
                {QStringLiteral("received"), time(r.received)}});
        return ExitDone;
    }
    if (o.csv) {
        io.out(QStringLiteral("started,ended,program,program_version,host,product,serial,location,version_before,"
                              "version_after,file,file_sha256,image_name,sectors_written,sectors_kept,"
                              "bytes_verified,result,message,seconds,file_release,boot_serial,id,label,store\r\n"));
        for (const update::History::Record &r : rows) {
            const auto count = [](qint64 n) { return n < 0 ? QString() : QString::number(n); };
            QStringList f{r.started.toString(Qt::ISODateWithMs),
                r.ended.isValid() ? r.ended.toString(Qt::ISODateWithMs) : QString(), r.program, r.programVersion,
                r.host, r.product, r.serial, r.location, r.versionBefore, r.versionAfter, r.file, r.fileSha256,
                r.imageName, count(r.sectorsWritten), count(r.sectorsKept), count(r.bytesVerified), r.result, r.message,
                QString::number(r.seconds, 'f', 3), r.fileRelease, r.bootSerial, r.uuid, r.label, store};
            for (QString &x : f)
                x = display::csvCell(x);
            io.out(f.join(QLatin1Char(',')) + QStringLiteral("\r\n"));
        }
        return ExitDone;
    }
    // The zone the times are shown in, named in the heading.
    const QString zone = o.utc ? QStringLiteral("UTC") : QDateTime::currentDateTime().timeZoneAbbreviation();
    const auto shown = [&](const QDateTime &t) { return o.utc ? t.toUTC() : t.toLocalTime(); };
    out.line(tableLine({{QStringLiteral("STARTED (%1)").arg(zone), -20}, {QStringLiteral("SERIAL"), -12},
        {QStringLiteral("PRODUCT"), -18}, {QStringLiteral("VERSIONS"), -14}, {QStringLiteral("RESULT"), -11},
        {QStringLiteral("PROGRAM"), 0}}));
    for (const update::History::Record &r : rows)
        out.line(tableLine({{shown(r.started).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), -20},
            {elided(r.serial.isEmpty() ? QStringLiteral("-") : r.serial, 12), -12}, {elided(r.product, 18), -18},
            {elided((r.versionBefore.isEmpty() ? QStringLiteral("?") : r.versionBefore) + QStringLiteral("->")
                        + (r.versionAfter.isEmpty() ? QStringLiteral("?") : r.versionAfter),
                 14),
                -14},
            {r.result, -11}, {r.program, 0}}));
    return ExitDone;
}

} // namespace cli
