// tolvex-dfu history: the update history as a table, JSON lines or CSV.

#include "Commands.h"

#include "CommandSupport.h"
#include "DisplayText.h"
#include "History.h"

#include <QDateTime>
#include <QJsonObject>
#include <QStringList>

namespace cli {

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
    update::History history(path, update::History::Mode::Read);
    if (!history.isOpen())
        return ends(out, ExitFailed, history.problem());
    const QList<update::History::Record> rows = history.rows(o.serial.value_or(QString()), since);
    // An empty table must mean "no such rows", never "could not be read".
    if (!history.problem().isEmpty())
        return ends(out, ExitFailed, history.problem());
    const auto number = [](qint64 n) { return n < 0 ? QJsonValue() : QJsonValue(n); };
    if (o.json) {
        for (const update::History::Record &r : rows)
            out.event({{QStringLiteral("event"), QStringLiteral("history")}, {QStringLiteral("id"), known(r.uuid)},
                {QStringLiteral("started"), r.started.toString(Qt::ISODateWithMs)},
                {QStringLiteral("ended"),
                    r.ended.isValid() ? QJsonValue(r.ended.toString(Qt::ISODateWithMs)) : QJsonValue()},
                {QStringLiteral("program"), r.program}, {QStringLiteral("programVersion"), known(r.programVersion)},
                {QStringLiteral("host"), known(r.host)}, {QStringLiteral("product"), known(r.product)},
                {QStringLiteral("serial"), known(r.serial)}, {QStringLiteral("bootSerial"), known(r.bootSerial)},
                {QStringLiteral("device"), known(r.location)}, {QStringLiteral("old"), known(r.versionBefore)},
                {QStringLiteral("new"), known(r.versionAfter)}, {QStringLiteral("file"), known(r.file)},
                {QStringLiteral("sha256"), known(r.fileSha256)}, {QStringLiteral("fileRelease"), known(r.fileRelease)},
                {QStringLiteral("image"), known(r.imageName)},
                {QStringLiteral("sectorsWritten"), number(r.sectorsWritten)},
                {QStringLiteral("sectorsKept"), number(r.sectorsKept)},
                {QStringLiteral("bytesVerified"), number(r.bytesVerified)}, {QStringLiteral("result"), r.result},
                {QStringLiteral("message"), r.message}, {QStringLiteral("seconds"), r.seconds}});
        return ExitDone;
    }
    if (o.csv) {
        io.out(QStringLiteral("started,ended,program,program_version,host,product,serial,location,version_before,"
                              "version_after,file,file_sha256,image_name,sectors_written,sectors_kept,"
                              "bytes_verified,result,message,seconds,file_release,boot_serial,id\r\n"));
        for (const update::History::Record &r : rows) {
            const auto count = [](qint64 n) { return n < 0 ? QString() : QString::number(n); };
            QStringList f{r.started.toString(Qt::ISODateWithMs),
                r.ended.isValid() ? r.ended.toString(Qt::ISODateWithMs) : QString(), r.program, r.programVersion,
                r.host, r.product, r.serial, r.location, r.versionBefore, r.versionAfter, r.file, r.fileSha256,
                r.imageName, count(r.sectorsWritten), count(r.sectorsKept), count(r.bytesVerified), r.result, r.message,
                QString::number(r.seconds, 'f', 3), r.fileRelease, r.bootSerial, r.uuid};
            for (QString &x : f)
                x = display::csvCell(x);
            io.out(f.join(QLatin1Char(',')) + QStringLiteral("\r\n"));
        }
        return ExitDone;
    }
    // The zone the times are shown in, named in the heading.
    const QString zone = o.utc ? QStringLiteral("UTC") : QDateTime::currentDateTime().timeZoneAbbreviation();
    const auto shown = [&](const QDateTime &t) { return o.utc ? t.toUTC() : t.toLocalTime(); };
    out.line(QStringLiteral("%1 %2 %3 %4 %5 %6")
                 .arg(QStringLiteral("STARTED (%1)").arg(zone), -20)
                 .arg(QStringLiteral("SERIAL"), -12)
                 .arg(QStringLiteral("PRODUCT"), -18)
                 .arg(QStringLiteral("VERSIONS"), -14)
                 .arg(QStringLiteral("RESULT"), -11)
                 .arg(QStringLiteral("PROGRAM")));
    for (const update::History::Record &r : rows)
        out.line(QStringLiteral("%1 %2 %3 %4 %5 %6")
                     .arg(shown(r.started).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), -20)
                     .arg(elided(r.serial.isEmpty() ? QStringLiteral("-") : r.serial, 12), -12)
                     .arg(elided(r.product, 18), -18)
                     .arg(elided(QStringLiteral("%1->%2").arg(
                                     r.versionBefore.isEmpty() ? QStringLiteral("?") : r.versionBefore,
                                     r.versionAfter.isEmpty() ? QStringLiteral("?") : r.versionAfter),
                              14),
                         -14)
                     .arg(r.result, -11)
                     .arg(r.program));
    return ExitDone;
}

} // namespace cli
