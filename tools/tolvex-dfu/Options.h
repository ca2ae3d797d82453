#pragma once

// The options of tolvex-dfu's commands, parsed GNU-style: --name value or --name=value,
// short forms for the common ones (-j, -q, -v, -h, also together as -jq), and -- ending the
// options.

#include "Devices.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace cli {

struct Options
{
    QStringList positional;
    std::optional<QString> device; // given, even empty: an empty one is refused by the selection
    std::optional<QString> serial;
    std::optional<QString> usb;
    QString config;
    std::optional<QString> history; // the history's file; default: History::defaultPath()
    std::optional<QString> since;   // history: from this date or time on (ISO 8601)
    // The central history's connection (update, station, upload, history); given without a value
    // (history only), the one of central.conf.
    std::optional<QString> central;
    std::optional<QString> host; // history: of this host only
    std::optional<QString> until; // history: started before this date or time (a date: its end)
    std::optional<QString> sha256; // history: of a file whose SHA-256 starts so
    std::optional<QString> file; // history: of a file of this name
    std::optional<QString> result; // history: with this result
    std::optional<QString> label; // history: of the station slot of this label
    std::optional<QString> operatorName; // station: who runs it; history: rows of this operator
    std::optional<QString> lot; // station: the lot or work order; history: rows of this lot
    std::optional<QString> profile; // station: the line engineer's profile
    std::optional<QString> scan; // station: off, optional or required
    std::optional<int> restartWait; // station: seconds a board may take to restart
    bool sync = false; // history: send the rows that wait to the central history
    bool prune = false; // history: delete the rows that started before --before
    std::optional<QString> before;
    bool noHistory = false;
    bool csv = false;
    bool utc = false; // history: the table's times, and --since without a zone, in UTC
    bool all = false;
    bool json = false;
    bool stay = false;
    bool strictTiming = false;
    bool full = false;
    bool force = false;
    bool allowOlder = false;
    bool enter = false; // --dry-run --enter: into DFU mode to compare, and back
    bool dryRun = false;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool wait = false;
    int waitSeconds = 60;
    int count = 0; // station: stop after this many boards have ended (0: never)
    QStringList labels; // station: PORT=NAME, from --label and --labels FILE
    std::optional<QString> alternate; // --alt: an alternate's number or its memory's name
    // upload --address ADDR[:LEN]: one range of the memory (length 0: to the end of it)
    std::optional<quint32> address;
    quint32 length = 0;

    update::Selection selection() const { return {device, serial, usb, all}; }
};

// Parses the options a command allows (their long names); false with `error` set on
// anything else.
bool parseOptions(const QStringList &args, const QStringList &allowed, Options &o, QString &error);

} // namespace cli
