#pragma once

// A station's profile: the line engineer's one file, in INI as Qt writes it, its keys named as
// the options they stand for:
//
//   firmware = /srv/line/fw-2.4.dfu      (relative paths: from the profile's folder)
//   sha256 = 3f0c...                     the firmware must still hash to this
//   config = Config.ini
//   count = 0, restart-wait = 15, allow-older = false, columns = 4
//   operator = ask | NAME                lot = ask | TEXT   (ask: given when it starts)
//   scan = off | optional | required
//   history = PATH, central = URL
//   sound = on | off, theme = normal | high-contrast, language = de | en | es | zh_CN
//   [ports]
//   1-1 = A1                             in the fixture's order, row by row
//
// Only root can lock it: a profile owned by root and writable by root alone.

#include "Outcome.h"
#include "Station.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace update {

struct StationProfile
{
    QString path;
    bool locked = false;
    QString firmware;
    QString sha256; // lower-case hex
    QString config;
    QString history;
    QString central;
    int count = 0;
    int restartWaitSeconds = 15;
    bool allowOlder = false;
    int columns = 0; // 0: as many as fit
    QString operatorName; // "ask": asked for when the station starts
    QString lot;
    Station::Scan scan = Station::Scan::Off;
    QList<QPair<QString, QString>> ports; // port, label
    // The station screen's: a sound for each end, its colours, its language (empty: the
    // system's).
    bool sound = true;
    bool highContrast = false;
    QString language;
};

// Reads the text of a profile; Refused on anything it does not take (an unknown key too: a
// misspelt one must not silently do nothing), the line named.
Outcome parseStationProfile(const QByteArray &text, StationProfile &into);
// Reads the profile at `path`, never through a link, and tells whether it is locked.
Outcome loadStationProfile(const QString &path, StationProfile &into);

// A station's settings from a loaded profile: the firmware read once and checked (its SHA-256
// the profile's, Config.ini permitting it), the ports, labels and policies. The operator and
// lot are the caller's (the profile may ask for them). Refused when the firmware or Config.ini
// will not do.
struct StationFirmware
{
    QString signature; // "not signed", "signed by key ..."
    QString release; // "1.02", empty when the file gives none
};
Outcome stationSettings(const StationProfile &profile, Station::Settings &settings, StationFirmware &firmware);
// The profile at `path` loaded, and the station's settings from it.
Outcome stationFromProfile(
    const QString &path, StationProfile &profile, Station::Settings &settings, StationFirmware &firmware);

} // namespace update
