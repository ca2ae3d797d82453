// tolvex-dfu: the firmware update from a terminal, over the real hidapi and libusb.

#include "Cli.h"
#include "DisplayText.h"
#include "SignedFile.h"
#include "HidTransport.h"

#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

// The one open application-mode device of the program, which the HID commands go through.
HidTransport hidTransport;

namespace {

std::atomic<bool> interrupted{false};
std::atomic<int> signalCount{0};

void onSignal(int)
{
    interrupted = true;
    signalCount.fetch_add(1);
}

bool verbose = false;

void messages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // Warnings are what a user must act on (keys that cannot be used, a history not recorded,
    // a file for other USB ids): always shown. The libraries' debug messages are for --verbose.
    // A diagnostic may carry a device's or a file's string (a memory layout, a product name):
    // shown escaped, one message one line, never an instruction to the terminal.
    if (verbose || (type != QtDebugMsg && type != QtInfoMsg))
        qt_message_output(type, context, display::text(text));
}

// Writes `text` to `stream` until the reader has gone: a closed pipe ends what is said, not
// the update (SIGPIPE stops that at its next safe point, as Ctrl-C does).
void write(FILE *stream, bool &closed, const QString &text)
{
    if (closed)
        return;
    if (std::fputs(text.toLocal8Bit().constData(), stream) == EOF || std::fflush(stream) == EOF)
        closed = true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    // The command parses --verbose too; here it lets the libraries speak.
    for (const QString &a : args) {
        if (a == QLatin1String("--"))
            break;
        verbose = verbose || a == QLatin1String("--verbose")
                  || (a.startsWith(QLatin1Char('-')) && !a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('v')));
    }
    qInstallMessageHandler(messages);
#ifdef TOLVEX_HERMETIC_KEYS
    // The test build: the trusted keys are the test's own, never the machine's.
    setTrustedKeyFoldersFrom(std::getenv("TOLVEX_TEST_TRUSTED_KEYS"));
#endif
    // Each stops the update at its next safe point, the board left in DFU mode and its row
    // "interrupted": a closed terminal or ssh session (SIGHUP) and a reader that went away
    // (SIGPIPE, as in "| head -1") must not kill it half-way through a write.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        std::signal(s, onSignal);

    cli::Io io;
    static bool outClosed = false, errClosed = false;
    io.out = [](const QString &text) { write(stdout, outClosed, text); };
    io.err = [](const QString &text) { write(stderr, errClosed, text); };
    io.terminal = isatty(STDERR_FILENO) == 1;
    winsize size{};
    if (io.terminal && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        io.columns = size.ws_col;
    io.interrupted = &interrupted;
    io.signalCount = &signalCount;
    return cli::run(args, io);
}
