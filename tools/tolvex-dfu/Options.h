#pragma once

// The options of tolvex-dfu's commands.

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
    QString config;
    bool all = false;
    bool json = false;
    bool stay = false;
    bool strictTiming = false;
    bool full = false;
    bool force = false;
    bool help = false;

    update::Selection selection() const { return {device, serial, all}; }
};

// Parses the options a command allows; false with `error` set on anything else.
bool parseOptions(const QStringList &args, const QStringList &allowed, Options &o, QString &error);

} // namespace cli
