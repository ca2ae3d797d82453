#pragma once

// One function per command of tolvex-dfu; each returns its exit code.

#include "Cli.h"
#include "Options.h"

namespace cli {

int list(const Options &o, const Io &io);
int update(const Options &o, const Io &io);
// Reads back what the file covers and says whether the board holds it exactly.
int verify(const Options &o, const Io &io);
int upload(const Options &o, const Io &io);
// enter-dfu (toDfu) and leave: the mode change of each selected device, then its arrival.
int changeMode(const Options &o, const Io &io, bool toDfu);
// Updates every board of the maker as it is plugged in, several at once, until --count
// boards have ended or Ctrl-C.
int station(const Options &o, const Io &io);
// The update history, as a table, JSON lines or CSV.
int history(const Options &o, const Io &io);

} // namespace cli
