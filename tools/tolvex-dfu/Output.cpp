#include "Output.h"

#include <QJsonDocument>
#include <QStringList>

namespace cli {

void Output::line(const QString &text)
{
    clearLive();
    io.out(text + QLatin1Char('\n'));
}

void Output::problem(const QString &text)
{
    clearLive();
    io.err(QStringLiteral("tolvex-dfu: ") + text + QLatin1Char('\n'));
}

void Output::event(const QJsonObject &o)
{
    io.out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

void Output::progress(const QString &device, const QString &phase, int percent, quint32 done, quint32 total,
                      qint64 elapsedMs)
{
    State &s = states[device];
    const bool step = s.phase != phase || percent / 10 != s.percent / 10;
    if (json) {
        if (step)
            event({{QStringLiteral("event"), QStringLiteral("progress")},
                   {QStringLiteral("device"), device},
                   {QStringLiteral("phase"), phase},
                   {QStringLiteral("percent"), percent},
                   {QStringLiteral("bytes"), qint64(done)},
                   {QStringLiteral("total"), qint64(total)}});
    } else if (!io.terminal) {
        if (step)
            io.out(QStringLiteral("%1: %2 %3%\n").arg(device, phase).arg(percent));
    } else {
        QString text = QStringLiteral("%1  %2 %3%").arg(device, phase).arg(percent, 3);
        if (total > 0)
            text += QStringLiteral("  %1/%2 KiB").arg(done / 1024).arg(total / 1024);
        if (elapsedMs > 500 && done > 0) {
            const double rate = double(done) / (double(elapsedMs) / 1000.0);
            text += QStringLiteral("  %1 KiB/s").arg(int(rate / 1024));
            if (total > done)
                text += QStringLiteral("  %1 s left").arg(int((total - done) / rate) + 1);
        }
        s.live = text;
        QStringList parts;
        for (const State &other : qAsConst(states))
            if (!other.live.isEmpty())
                parts << other.live;
        io.out(QStringLiteral("\r\033[K") + parts.join(QStringLiteral(" | ")));
        live = true;
    }
    s.phase = phase;
    s.percent = percent;
}

void Output::finished(const QString &device)
{
    states[device].live.clear();
}

void Output::clearLive()
{
    if (live)
        io.out(QStringLiteral("\r\033[K"));
    live = false;
}

} // namespace cli
