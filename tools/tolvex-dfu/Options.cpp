#include "Options.h"

#include "ConfigFile.h"

namespace cli {

bool parseOptions(const QStringList &args, const QStringList &allowed, Options &o, QString &error)
{
    o.config = QString::fromLatin1(ConfigurationFileName);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const auto value = [&](std::optional<QString> &into) {
            if (i + 1 >= args.size()) {
                error = a + QStringLiteral(" needs a value");
                return false;
            }
            into = args.at(++i);
            return true;
        };
        std::optional<QString> config;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.help = true;
        } else if (!a.startsWith(QLatin1String("--")) || a == QLatin1String("--")) {
            o.positional << a;
        } else if (!allowed.contains(a)) {
            error = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else if (a == QLatin1String("--device")) {
            if (!value(o.device))
                return false;
        } else if (a == QLatin1String("--serial")) {
            if (!value(o.serial))
                return false;
        } else if (a == QLatin1String("--config")) {
            if (!value(config))
                return false;
            o.config = *config;
        } else if (a == QLatin1String("--all")) {
            o.all = true;
        } else if (a == QLatin1String("--json")) {
            o.json = true;
        } else if (a == QLatin1String("--stay")) {
            o.stay = true;
        } else if (a == QLatin1String("--strict-timing")) {
            o.strictTiming = true;
        } else if (a == QLatin1String("--full")) {
            o.full = true;
        } else if (a == QLatin1String("--force")) {
            o.force = true;
        }
    }
    return true;
}

} // namespace cli
