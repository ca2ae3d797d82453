#pragma once

// What the commands of tolvex-dfu share: how an outcome is said (and given as JSON), the
// choice of devices (with --wait), exit codes, and the polling of one operation alone.

#include "Central.h"
#include "Cli.h"
#include "Devices.h"
#include "DfuLink.h"
#include "SignedFile.h"
#include "Options.h"
#include "Output.h"
#include "Session.h"

#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>

namespace cli {

// How often a running road is looked at.
constexpr int PollMs = 20;

bool interrupted(const Io &io);
// Lets the events run (the HID transport waits on them) between two looks.
void idle();
// JSON's null for what is not known, and the text itself otherwise.
QJsonValue known(const QString &text);
// An address for JSON: "0x08000000".
QString hex(quint32 address);
// The devices present in both modes; those in DFU mode with the board's own serial where the
// history at `historyPath` knows it.
QList<update::Device> presentDevices(const QString &historyPath);
// What the history thread of `historyPath` is told: the central history to forward its rows to
// (--central, or central.conf's), keep-days and station-name; nothing when no history is kept.
// A file or setting that cannot be read is said.
update::HistorySettings historyFor(const Options &o, const QString &historyPath, Output &out);
// An outcome that is not a device's: said to people, and with --json one result object.
int ends(Output &out, int exit, const QString &message);
// A device's outcome in the commands that run one operation alone.
int endsOn(Output &out, const update::Device &d, int exit, const QString &message);
int exitOf(update::Session::Result r);
// The worst of several outcomes: an interruption, then a failure, a refusal, a device missing.
int worstExit(const QList<int> &codes);
// The devices a command works on; with --wait, until one fits. Empty with the outcome said
// and `exit` set.
QList<update::Device> choose(const std::function<QList<update::Device>()> &present, const Options &o, Output &out,
                             const Io &io, int &exit);
// Polls one operation to its end, for the commands that run one alone: true when it ended
// well; false when it failed (`message` set) or was interrupted (`stopped` set).
bool finish(DfuLink &link, const update::Device &device, const QString &phase, Output &out, const Io &io, bool &stopped,
    QString &message);
// At most `width` characters of what `text` shows as (device strings escaped), "..." where cut.
QString elided(const QString &text, int width);
// A table's line: each text padded to its width (negative: left-aligned), one space between.
// Built field by field: a '%1' in a device's string is never taken for a placeholder.
QString tableLine(const QList<QPair<QString, int>> &fields);
// The settings of a road over the one FILE given: Config.ini read, and the file checked as far
// as it can be before any board is touched. False with the outcome said and `exit` set.
bool prepareRoad(const Options &o, const Io &io, Output &out, const char *command, update::Session::Settings &settings,
    DfuFileCheck &checked, int &exit);

} // namespace cli
