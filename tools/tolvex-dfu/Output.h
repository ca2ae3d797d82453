#pragma once

// What tolvex-dfu prints: results and lines for people, problems, JSON objects, and the
// progress of each device (in place on a terminal, a line per phase and per 10 % elsewhere).

#include "Cli.h"

#include <QJsonObject>
#include <QMap>
#include <QString>

namespace cli {

class Output
{
public:
    Output(const Io &io, bool json) : io(io), json(json) {}

    void line(const QString &text);
    // "tolvex-dfu: TEXT" on standard error.
    void problem(const QString &text);
    void event(const QJsonObject &o);
    bool jsonOutput() const { return json; }

    void progress(const QString &device, const QString &phase, int percent, quint32 done, quint32 total,
                  qint64 elapsedMs);
    // The device's live part of the terminal line is done with.
    void finished(const QString &device);

private:
    struct State
    {
        QString phase;
        int percent = -1;
        QString live;
    };
    void clearLive();

    const Io &io;
    bool json;
    bool live = false;
    QMap<QString, State> states;
};

} // namespace cli
