#pragma once

// tolvex-dfu: the whole update from a terminal. The commands run in the calling thread
// (with a QCoreApplication); DFU operations run on the library's own threads and are
// polled. Output goes through the writers given, so that tests can read it.

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace cli {

// ExitCannotTell: a dry run in application mode, which cannot tell without entering DFU mode
// whether the board's boot loader takes the file. ExitUnreadable: verify cannot read the
// board's memory back (not readable, or protected), so it cannot tell what it holds.
enum Exit {
    ExitDone = 0,
    ExitFailed = 1,
    ExitUsage = 2,
    ExitRefused = 3,
    ExitNoDevice = 4,
    ExitCannotTell = 5,
    ExitUnreadable = 6,
    ExitInterrupted = 130
};

struct Io
{
    std::function<void(const QString &)> out; // standard output, text as it is to appear
    std::function<void(const QString &)> err; // standard error
    bool terminal = false;                    // standard error is a terminal: progress in place
    int columns = 80;                         // its width
    // Set from a signal handler (SIGINT, SIGTERM): running operations stop between transfers.
    const std::atomic<bool> *interrupted = nullptr;
    // How many such signals came (a station drains at the first, stops at the second); null:
    // one when `interrupted` is set.
    const std::atomic<int> *signalCount = nullptr;
    // Where a station reads scanned labels, one a line.
    int scanFd = 0;
    // How long a device may take to come back in its other mode.
    int arrivalTimeoutMs = 15000;
};

// Runs one command line (without the program name); returns the exit code.
int run(const QStringList &args, const Io &io);

} // namespace cli
