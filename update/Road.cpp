// One history row from what an update road met and did, the same under either front end.

#include "History.h"

#include "DfuLink.h"
#include "Release.h"

#include <QFileInfo>
#include <QSysInfo>
#include <QUuid>

namespace update {

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
