#include "Output.h"

#include "DisplayText.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>

namespace cli {

// The version of the JSON objects' schema (tolvex-dfu.schema.json, and the manual page).
constexpr int SchemaVersion = 1;

// One call, one line: a line feed or carriage return in a device's or a file's string is
// shown escaped, and cannot forge a line of its own.
void Output::line(const QString &text)
{
    clearLive();
    io.out(display::text(text) + QLatin1Char('\n'));
}

void Output::note(const QString &text)
{
    if (json || quiet)
        return;
    clearLive();
    io.err(display::text(text) + QLatin1Char('\n'));
}

void Output::problem(const QString &text)
{
    clearLive();
    io.err(QStringLiteral("tolvex-dfu: ") + display::text(text) + QLatin1Char('\n'));
}

void Output::event(QJsonObject o)
{
    o.insert(QStringLiteral("schema"), SchemaVersion);
    if (stampTimes)
        o.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    io.out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

void Output::progress(const QString &device, const QString &phase, int percent, quint32 done, quint32 total,
                      qint64 elapsedMs)
{
    State &s = states[device];
    const bool step = s.phase != phase || percent / 10 != s.percent / 10;
    if (s.phase != phase)
        s.phaseStartMs = elapsedMs;
    s.phase = phase;
    s.percent = percent;
    if (json) {
        if (step)
            event({{QStringLiteral("event"), QStringLiteral("progress")},
                   {QStringLiteral("device"), device},
                   {QStringLiteral("phase"), phase},
                   {QStringLiteral("percent"), percent},
                   {QStringLiteral("bytes"), qint64(done)},
                   {QStringLiteral("total"), qint64(total)}});
        return;
    }
    if (quiet)
        return;
    if (!io.terminal) {
        if (step)
            io.err(display::text(QStringLiteral("%1: %2 %3%").arg(device, phase).arg(percent)) + QLatin1Char('\n'));
        return;
    }
    QString rate, left;
    const qint64 inPhaseMs = elapsedMs - s.phaseStartMs;
    if (inPhaseMs > 500 && done > 0) {
        const double perSecond = double(done) / (double(inPhaseMs) / 1000.0);
        rate = QStringLiteral("%1 KiB/s").arg(int(perSecond / 1024));
        if (total > done)
            left = QStringLiteral("%1 s left").arg(int((total - done) / perSecond) + 1);
    }
    QString text = QStringLiteral("%1  %2 %3%").arg(device, phase).arg(percent, 3);
    if (total > 0)
        text += QStringLiteral("  %1/%2 KiB").arg(done / 1024).arg(total / 1024);
    if (!rate.isEmpty())
        text += QStringLiteral("  ") + rate;
    if (!left.isEmpty())
        text += QStringLiteral("  ") + left;
    s.live = text;
    s.brief = QStringLiteral("%1 %2 %3%").arg(device, phase).arg(percent);
    QStringList parts, briefs;
    for (const State &other : qAsConst(states)) {
        if (!other.live.isEmpty()) {
            parts << other.live;
            briefs << other.brief;
        }
    }
    // One device: all it has to say. Several: each in brief. Never wider than the terminal,
    // or the line wraps and every update scrolls.
    const QString joint = parts.size() == 1 ? parts.first() : briefs.join(QStringLiteral(" | "));
    io.err(QStringLiteral("\r\033[K") + display::elided(joint, std::max(io.columns - 1, 10)));
    live = true;
}

void Output::finished(const QString &device)
{
    states[device].live.clear();
}

void Output::clearLive()
{
    if (live)
        io.err(QStringLiteral("\r\033[K"));
    live = false;
}

} // namespace cli
