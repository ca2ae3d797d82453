// tolvex-dfu: the firmware update from a terminal, over the real hidapi and libusb.

#include "Cli.h"
#include "HidTransport.h"

#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

// The one open application-mode device of the program, which the HID commands go through.
HidTransport hidTransport;

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int)
{
    interrupted = true;
}

bool verbose = false;

void messages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // The libraries' diagnostics are for --verbose: the commands say what matters themselves.
    if (verbose || type == QtFatalMsg)
        qt_message_output(type, context, text);
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
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    cli::Io io;
    io.out = [](const QString &text) {
        std::fputs(text.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    };
    io.err = [](const QString &text) {
        std::fputs(text.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
    };
    io.terminal = isatty(STDERR_FILENO) == 1;
    winsize size{};
    if (io.terminal && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        io.columns = size.ws_col;
    io.interrupted = &interrupted;
    return cli::run(args, io);
}
