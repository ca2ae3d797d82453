#pragma once

// What tolvex-dfu prints. Without --json, standard output carries the results (the list, a
// device's result, the table) and standard error what is for people while it works: notes,
// problems, and the progress of each device (in place on a terminal, fitted to its width; a
// line per phase and per 10 % elsewhere). With --json, standard output carries only JSON
// lines, and standard error the problems.

#include "Cli.h"

#include <QJsonObject>
#include <QMap>
#include <QString>

namespace cli {

class Output
{
public:
    Output(const Io &io, bool json, bool quiet = false) : io(io), json(json), quiet(quiet) {}

    // A result, on standard output.
    void line(const QString &text);
    // For people, while it works: standard error; nothing with --json or --quiet.
    void note(const QString &text);
    // "tolvex-dfu: TEXT" on standard error.
    void problem(const QString &text);
    // One JSON object on a line of standard output, with the schema's version.
    void event(QJsonObject o);
    bool jsonOutput() const { return json; }
    // Every event with its time (UTC): a station's, for a factory system to order by.
    bool stampTimes = false;

    void progress(const QString &device, const QString &phase, int percent, quint32 done, quint32 total,
                  qint64 elapsedMs);
    // The device's live part of the terminal line is done with.
    void finished(const QString &device);

private:
    struct State
    {
        QString phase;
        int percent = -1;
        qint64 phaseStartMs = 0; // the operation's time when this phase began: rates are the phase's own
        QString live;
        QString brief;
    };
    void clearLive();

    const Io &io;
    bool json;
    bool quiet;
    bool live = false;
    QMap<QString, State> states;
};

} // namespace cli
