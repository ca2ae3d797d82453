// central.conf bytes: its line, read by libpq as a URI or key=value text and passed on to Qt's
// PostgreSQL driver, and shown with any password masked; and its settings (keep-days,
// station-name), within their bounds or refused.

#include "Central.h"

#include <QStringList>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString line = update::centralLineOf(bytes);
    // The line is one line, trimmed, never a comment.
    if (line.contains(QLatin1Char('\n')) || line.startsWith(QLatin1Char('#')) || line != line.trimmed())
        std::abort();
    QString options;
    const Outcome usable = update::centralDriverOptions(line, options);
    if (!usable && usable.message().isEmpty())
        std::abort();
    // The driver turns ';' into blanks: none may reach it inside a value.
    if (!usable && !options.isEmpty())
        std::abort();
    if (options.contains(QLatin1Char(';')))
        std::abort();
    update::HistorySettings settings;
    QStringList given;
    const Outcome read = update::readHistorySettings(bytes, settings, given);
    if (read.isOk() != read.message().isEmpty() || settings.keepDays < 0 || settings.stationName.size() > 64)
        std::abort();
    for (const QChar c : settings.stationName) {
        if (!c.isPrint())
            std::abort();
    }
    // A password given as key=value is never shown.
    const QString shown = update::maskedConnection(line);
    if (line.startsWith(QLatin1String("password=x1y2z3")) && shown.contains(QLatin1String("x1y2z3")))
        std::abort();
    return 0;
}
