// One history row from what an update road met and did, the same under either front end.

#include "History.h"

#include "DfuLink.h"
#include "Release.h"

#include <QFileInfo>
#include <QSysInfo>
#include <QUuid>

#include <algorithm>

namespace update {

void addKnownSerials(QList<Device> &devices, History &history)
{
    for (Device &d : devices) {
        if (d.dfuMode() && d.appSerial.isEmpty())
            d.appSerial = history.ownSerialOf(d.serial);
    }
    forgetSharedBootSerials(devices);
}

void forgetSharedBootSerials(QList<Device> &devices)
{
    // Boot loaders present together with one serial share it: it names none of them.
    for (Device &d : devices) {
        if (!d.dfuMode() || d.appSerial.isEmpty())
            continue;
        const auto shared = std::count_if(
            devices.begin(), devices.end(), [&](const Device &o) { return o.dfuMode() && o.serial == d.serial; });
        if (shared > 1)
            d.appSerial.clear();
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
    // The board's own serial, and its boot loader's beside it. A boot loader's serial is no
    // board's own (boards of a family may share one): a board met only in DFU mode whose own
    // serial is not known is recorded without one.
    r.serial = road.serial;
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
    case O::Pulled: r.result = QStringLiteral("pulled"); break;
    case O::Failed: r.result = QStringLiteral("failed"); break;
    case O::Backup: r.result = QStringLiteral("backup"); break;
    }
    r.message = road.message;
    r.seconds = double(road.elapsedMs) / 1000.0;
    return r;
}

} // namespace update
