// tolvex-dfu history: the update history as a table, JSON lines or CSV.

#include "Commands.h"

#include "CommandSupport.h"
#include "DisplayText.h"
#include "History.h"

#include <QDateTime>
#include <QFileInfo>
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
        since = QDateTime::fromString(*o.since, Qt::ISODate);
        if (!since.isValid())
            since = QDateTime(QDate::fromString(*o.since, Qt::ISODate), QTime(0, 0), Qt::UTC);
        if (!since.isValid())
            return ends(out, ExitUsage, QStringLiteral("--since takes a date or time such as 2026-12-01 or "
                                                       "2026-12-01T08:00:00Z"));
        if (since.timeSpec() == Qt::LocalTime && o.since->size() > 10)
            since.setTimeSpec(Qt::UTC);
    }
    const QString path = o.history.value_or(update::History::defaultPath());
    if (!QFileInfo::exists(path))
        return ends(out, ExitFailed, QStringLiteral("there is no history at %1").arg(path));
    const update::History history(path);
    if (!history.isOpen())
        return ends(out, ExitFailed, QStringLiteral("the history at %1 cannot be read").arg(path));
    const QList<update::History::Record> rows = history.rows(o.serial.value_or(QString()), since);
    const auto number = [](qint64 n) { return n < 0 ? QJsonValue() : QJsonValue(n); };
    if (o.json) {
        for (const update::History::Record &r : rows)
            out.event({{QStringLiteral("event"), QStringLiteral("history")},
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
                              "bytes_verified,result,message,seconds,file_release,boot_serial\r\n"));
        for (const update::History::Record &r : rows) {
            const auto count = [](qint64 n) { return n < 0 ? QString() : QString::number(n); };
            QStringList f{r.started.toString(Qt::ISODateWithMs),
                r.ended.isValid() ? r.ended.toString(Qt::ISODateWithMs) : QString(), r.program, r.programVersion,
                r.host, r.product, r.serial, r.location, r.versionBefore, r.versionAfter, r.file, r.fileSha256,
                r.imageName, count(r.sectorsWritten), count(r.sectorsKept), count(r.bytesVerified), r.result, r.message,
                QString::number(r.seconds, 'f', 3), r.fileRelease, r.bootSerial};
            for (QString &x : f)
                x = display::csvCell(x);
            io.out(f.join(QLatin1Char(',')) + QStringLiteral("\r\n"));
        }
        return ExitDone;
    }
    out.line(QStringLiteral("%1 %2 %3 %4 %5 %6").arg(QStringLiteral("STARTED (UTC)"), -20).arg(QStringLiteral("SERIAL"), -12)
                 .arg(QStringLiteral("PRODUCT"), -18).arg(QStringLiteral("VERSIONS"), -14).arg(QStringLiteral("RESULT"), -11)
                 .arg(QStringLiteral("PROGRAM")));
    for (const update::History::Record &r : rows)
        out.line(QStringLiteral("%1 %2 %3 %4 %5 %6")
                     .arg(r.started.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), -20)
                     .arg(elided(r.serial.isEmpty() ? QStringLiteral("-") : r.serial, 12), -12)
                     .arg(elided(r.product, 18), -18)
                     .arg(elided(QStringLiteral("%1->%2").arg(r.versionBefore.isEmpty() ? QStringLiteral("?") : r.versionBefore,
                                                              r.versionAfter.isEmpty() ? QStringLiteral("?") : r.versionAfter),
                                 14),
                          -14)
                     .arg(r.result, -11)
                     .arg(r.program));
    return ExitDone;
}

} // namespace cli
