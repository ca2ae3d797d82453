// tolvex-dfu list, upload, enter-dfu and leave: the devices, and the steps alone.

#include "Commands.h"

#include "CommandSupport.h"
#include "HistoryWriter.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

namespace cli {

int list(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    const LoadedConfiguration config = readConfiguration(o.config);
    const bool haveConfig = config.result == LoadedConfiguration::Loaded;
    const ImageNameList &names = config.names;
    QJsonArray appJson, dfuJson;
    QStringList lines;
    lines << QStringLiteral("Application mode:");
    const QList<update::Device> apps = update::appDevices();
    for (const update::Device &d : apps) {
        if (interrupted(io))
            return ends(out, ExitInterrupted, QStringLiteral("interrupted"));
        const update::VersionAnswer v = update::queryVersion(d);
        const bool shortFrames = d.family == HidFamily::ShortFrames;
        const QString family = shortFrames ? QStringLiteral("8-byte reports") : QStringLiteral("16/64-byte reports");
        const QString shown = v.answered ? (v.version.isEmpty() ? QStringLiteral("(not reported)") : v.version)
                                         : QStringLiteral("(no answer)");
        lines << QStringLiteral("  %1  \"%2\"  serial %3  %4  firmware %5")
                     .arg(d.location, d.product, d.serial.isEmpty() ? QStringLiteral("-") : d.serial, family, shown);
        appJson.append(QJsonObject{{QStringLiteral("device"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("serial"), known(d.serial)},
                                   {QStringLiteral("usb"), QStringLiteral("%1:%2")
                                                               .arg(d.vendorId, 4, 16, QLatin1Char('0'))
                                                               .arg(d.productId, 4, 16, QLatin1Char('0'))},
                                   {QStringLiteral("family"), shortFrames ? QStringLiteral("8-byte")
                                                                          : QStringLiteral("16/64-byte")},
                                   {QStringLiteral("answered"), v.answered},
                                   {QStringLiteral("version"), known(v.version)}});
    }
    if (apps.isEmpty())
        lines << QStringLiteral("  none");
    lines << QStringLiteral("DFU mode:");
    const QList<update::Device> dfus = update::dfuDevices();
    for (const update::Device &d : dfus) {
        if (interrupted(io))
            return ends(out, ExitInterrupted, QStringLiteral("interrupted"));
        const QString permitted = haveConfig ? permittedImageName(names, d.product) : QString();
        const QString permission = config.result == LoadedConfiguration::Undecryptable
                                       ? QStringLiteral("(Config.ini does not decrypt)")
                                   : !haveConfig         ? QStringLiteral("(no Config.ini)")
                                   : permitted.isEmpty() ? QStringLiteral("not listed in Config.ini")
                                                         : QStringLiteral("permitted image \"%1\"").arg(permitted);
        lines << QStringLiteral("  %1  \"%2\"  serial %3  %4")
                     .arg(d.location, d.product, d.serial.isEmpty() ? QStringLiteral("-") : d.serial, permission);
        DfuLink link;
        QJsonArray alternates;
        const DfuLink::Open opened = link.open(d.path, d.busAddress, d.product);
        if (opened.connected()) {
            for (const DfuLink::Alternate &a : link.alternates()) {
                lines << QStringLiteral("      alternate %1 \"%2\" %3").arg(a.number).arg(a.name, a.layout);
                alternates.append(QJsonObject{{QStringLiteral("alternate"), a.number},
                                              {QStringLiteral("name"), a.name},
                                              {QStringLiteral("layout"), a.layout}});
            }
        } else {
            lines << QStringLiteral("      ") + opened.outcome.message();
        }
        dfuJson.append(QJsonObject{{QStringLiteral("device"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("serial"), known(d.serial)},
                                   {QStringLiteral("usb"), QStringLiteral("%1:%2")
                                                               .arg(d.vendorId, 4, 16, QLatin1Char('0'))
                                                               .arg(d.productId, 4, 16, QLatin1Char('0'))},
                                   {QStringLiteral("permitted"), known(permitted)},
                                   {QStringLiteral("alternates"), alternates}});
    }
    if (dfus.isEmpty())
        lines << QStringLiteral("  none");
    if (o.json)
        out.event({{QStringLiteral("event"), QStringLiteral("list")},
                   {QStringLiteral("application"), appJson},
                   {QStringLiteral("dfu"), dfuJson},
                   {QStringLiteral("config"), haveConfig ? QJsonValue(o.config) : QJsonValue()}});
    else {
        for (const QString &line : lines)
            out.line(line);
    }
    if (!haveConfig)
        out.problem(config.error);
    return ExitDone;
}

int upload(const Options &o, const Io &io)
{
    Output out(io, o.json, o.quiet);
    if (o.positional.size() != 1 || o.all)
        return ends(out, ExitUsage, QStringLiteral("upload takes one OUT.dfu and one device"));
    const QString path = o.positional.first();
    // Another file of the same name is not replaced unasked: it may be the only backup. A
    // symbolic link there, dangling or not, is not followed: --force replaces the link itself.
    const QFileInfo there(path);
    if (there.isSymLink() && !o.force)
        return ends(out, ExitRefused,
            QStringLiteral("%1 is a symbolic link; it is never written through (--force replaces the link itself)")
                .arg(path));
    if (there.exists() && !o.force)
        return ends(out, ExitRefused, QStringLiteral("%1 exists; --force replaces it").arg(path));
    int exit = ExitDone;
    const QString historyPath = o.noHistory ? QString() : o.history.value_or(update::History::defaultPath());
    const QList<update::Device> chosen =
        choose([historyPath] { return presentDevices(historyPath); }, o, out, io, exit);
    if (chosen.isEmpty())
        return exit;
    const update::Device d = chosen.first();
    if (!d.dfuMode())
        return endsOn(out, d, ExitNoDevice, QStringLiteral("in application mode; tolvex-dfu enter-dfu sends it into DFU "
                                                           "mode first"));
    update::Road road;
    road.uuid = update::newRowId();
    road.started = QDateTime::currentDateTimeUtc();
    QElapsedTimer clock;
    clock.start();
    DfuLink link;
    const DfuLink::Open opened = link.open(d.path, d.busAddress, d.product);
    if (!opened.connected())
        return endsOn(out, d, ExitFailed, opened.outcome.message());
    // A folder that cannot be written is known before the long read.
    if (!QFileInfo(QFileInfo(path).absolutePath()).isWritable())
        return endsOn(out, d, ExitFailed, QStringLiteral("cannot write in the folder of %1").arg(path));
    const QList<DfuLink::Alternate> alternates = link.alternates();
    const int alternate = o.alternate ? link.alternateIndex(*o.alternate) : int(alternates.size()) - 1;
    if (alternate < 0) {
        QStringList have;
        for (const DfuLink::Alternate &a : alternates)
            have << QStringLiteral("%1 \"%2\"").arg(a.number).arg(a.name.trimmed());
        return endsOn(out, d, ExitRefused,
            QStringLiteral("has no alternate %1; it has %2").arg(*o.alternate, have.join(QStringLiteral(", "))));
    }
    const QString memory = alternates.value(alternate).name.trimmed();
    // A backup that can be written back: its image bears the name Config.ini permits.
    const LoadedConfiguration config = readConfiguration(o.config);
    const QString permitted = permittedImageName(config.names, d.product);
    const DfuLink::Range range{o.address.value_or(0), o.length};
    const DfuLink::Launch l = link.launchUpload(permitted, alternate, o.address ? &range : nullptr);
    if (!l.launched())
        return endsOn(out, d, l.outcome.kind() == Outcome::Kind::Refused ? ExitRefused : ExitFailed,
            l.outcome
                .within(QStringLiteral("%1 of \"%2\"")
                            .arg(o.address ? QStringLiteral("the range") : QStringLiteral("the memory"), memory))
                .message());
    if (!l.note.isEmpty())
        out.note(QStringLiteral("%1: %2").arg(d.name(), l.note));
    if (o.address)
        out.note(QStringLiteral("%1: a range: writing it back erases the sectors it touches whole, and the bytes "
                                "around it there are lost unless the file holds them too")
                     .arg(d.name()));
    bool stopped = false;
    QString why;
    if (!finish(link, d, QStringLiteral("read"), out, io, stopped, why)) {
        return stopped ? endsOn(out, d, ExitInterrupted, QStringLiteral("interrupted; nothing was written"))
                       : endsOn(out, d, ExitFailed, why);
    }
    // Recorded with the hash of the bytes written, not of whatever the path names afterwards:
    // this machine's backup of this board.
    QString sha256;
    const Outcome written = link.writeBackup(path, o.force, &sha256);
    if (!written)
        return endsOn(out, d, ExitFailed, written.message());
    road.program = QStringLiteral("tolvex-dfu");
    road.location = d.location;
    road.bootProduct = d.product;
    road.bootSerial = d.serial;
    road.serial = d.appSerial;
    road.filePath = path;
    road.fileSha256 = sha256;
    road.fileRelease = link.release();
    road.imageName = link.imageName();
    road.outcome = update::Road::Outcome::Backup;
    road.message = QStringLiteral("memory of \"%1\" written").arg(memory);
    road.ended = QDateTime::currentDateTimeUtc();
    road.elapsedMs = clock.elapsed();
    update::HistoryWriter history(historyPath, historyFor(o, historyPath, out));
    history.put(update::historyRow(road));
    history.drain();
    for (const QString &problem : history.takeProblems())
        out.problem(problem);
    if (o.json)
        out.event({{QStringLiteral("event"), QStringLiteral("result")}, {QStringLiteral("device"), d.location},
            {QStringLiteral("serial"), known(d.serial)}, {QStringLiteral("result"), QStringLiteral("done")},
            {QStringLiteral("message"), road.message}, {QStringLiteral("file"), path},
            {QStringLiteral("image"), known(link.imageName())}, {QStringLiteral("sha256"), sha256},
            {QStringLiteral("exit"), int(ExitDone)}});
    else
        out.line(QStringLiteral("%1: memory of \"%2\" written to %3").arg(d.name(), memory, path));
    return ExitDone;
}

int changeMode(const Options &o, const Io &io, bool toDfu)
{
    Output out(io, o.json, o.quiet);
    if (!o.positional.isEmpty())
        return ends(out, ExitUsage, QStringLiteral("unexpected argument %1").arg(o.positional.first()));
    int exit = ExitDone;
    const QList<update::Device> chosen =
        choose([toDfu] { return toDfu ? update::appDevices() : update::dfuDevices(); }, o, out, io, exit);
    if (chosen.isEmpty())
        return exit;
    QList<int> codes;
    for (const update::Device &d : chosen) {
        bool sent = false;
        QString why;
        if (toDfu) {
            sent = update::enterDfuMode(d);
        } else {
            DfuLink link;
            bool stopped = false;
            const DfuLink::Open opened = link.open(d.path, d.busAddress, d.product);
            const DfuLink::Launch l = opened.connected() ? link.launchReturn() : DfuLink::Launch();
            why = !opened.connected() ? opened.outcome.message() : !l.launched() ? l.outcome.message() : QString();
            sent = l.launched() && finish(link, d, QStringLiteral("return"), out, io, stopped, why);
            if (stopped)
                return endsOn(out, d, ExitInterrupted, QStringLiteral("interrupted; it stays in DFU mode"));
        }
        if (!sent) {
            codes << endsOn(out, d, ExitFailed,
                            toDfu ? QStringLiteral("refused to enter DFU mode")
                                  : QStringLiteral("could not be sent back to its application") +
                                        (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
            continue;
        }
        const update::Arrival arrived =
            update::waitForDevice(toDfu ? update::Device::Dfu : update::Device::Application, d.location,
                                  io.arrivalTimeoutMs, [&io] { return interrupted(io); }, idle);
        if (arrived.result == update::Arrival::Interrupted)
            return endsOn(out, d, ExitInterrupted, QStringLiteral("interrupted while it restarts"));
        if (arrived.result == update::Arrival::TimedOut) {
            codes << endsOn(out, d, ExitNoDevice, QStringLiteral("did not come back in time; replug it"));
            continue;
        }
        const QString version = toDfu ? QString() : update::queryVersion(arrived.device).version;
        if (o.json)
            out.event({{QStringLiteral("event"), QStringLiteral("result")},
                       {QStringLiteral("device"), d.location},
                       {QStringLiteral("serial"), known(d.serial)},
                       {QStringLiteral("mode"), toDfu ? QStringLiteral("dfu") : QStringLiteral("application")},
                       {QStringLiteral("version"), known(version)},
                       {QStringLiteral("result"), QStringLiteral("done")},
                       {QStringLiteral("message"), toDfu ? QStringLiteral("in DFU mode")
                                                         : QStringLiteral("back in its application")},
                       {QStringLiteral("exit"), int(ExitDone)}});
        else
            out.line(toDfu ? QStringLiteral("%1: in DFU mode").arg(d.name())
                           : QStringLiteral("%1: back in its application, firmware %2")
                                 .arg(d.name(), version.isEmpty() ? QStringLiteral("(not reported)") : version));
    }
    return worstExit(codes);
}

} // namespace cli
