#include "Options.h"

#include "ConfigFile.h"
#include "RegularFile.h"

#include <functional>
#include <map>

namespace cli {

namespace {

// Adds PORT=NAME (blanks around either side left out) to the labels; a port labelled twice is
// refused rather than one of them silently winning.
bool addLabel(Options &o, const QString &label, QString &error)
{
    const int equals = label.indexOf(QLatin1Char('='));
    const QString port = label.left(equals).trimmed(), name = label.mid(equals + 1).trimmed();
    if (equals < 0 || port.isEmpty() || name.isEmpty()) {
        error = QStringLiteral("a label reads PORT=NAME, such as 1-2=slot-A (not \"%1\")").arg(label);
        return false;
    }
    for (const QString &given : o.labels) {
        if (given.section(QLatin1Char('='), 0, 0) == port) {
            error = QStringLiteral("port %1 is labelled twice (\"%2\" and \"%3\")")
                        .arg(port, given.section(QLatin1Char('='), 1), name);
            return false;
        }
    }
    o.labels << port + QLatin1Char('=') + name;
    return true;
}

// The options that take a value, and where it goes.
using Setter = std::function<bool(Options &, const QString &, QString &)>;

// An option whose value is kept as it is given (an empty one too: the selection refuses it).
template <class Field>
Setter text(Field Options::*field)
{
    return [field](Options &o, const QString &v, QString &) {
        o.*field = v;
        return true;
    };
}

const std::map<QString, Setter> &valued()
{
    static const std::map<QString, Setter> table{
        {QStringLiteral("--device"), text(&Options::device)},
        {QStringLiteral("--serial"), text(&Options::serial)},
        {QStringLiteral("--usb"), text(&Options::usb)},
        {QStringLiteral("--config"), text(&Options::config)},
        {QStringLiteral("--history"), text(&Options::history)},
        {QStringLiteral("--since"), text(&Options::since)},
        {QStringLiteral("--central"), text(&Options::central)},
        {QStringLiteral("--host"), text(&Options::host)},
        {QStringLiteral("--until"), text(&Options::until)},
        {QStringLiteral("--sha256"), text(&Options::sha256)},
        {QStringLiteral("--file"), text(&Options::file)},
        {QStringLiteral("--result"), text(&Options::result)},
        {QStringLiteral("--before"), text(&Options::before)},
        {QStringLiteral("--operator"), text(&Options::operatorName)},
        {QStringLiteral("--lot"), text(&Options::lot)},
        {QStringLiteral("--profile"), text(&Options::profile)},
        {QStringLiteral("--scan"),
            [](Options &o, const QString &v, QString &error) {
                if (v != QLatin1String("off") && v != QLatin1String("optional") && v != QLatin1String("required"))
                    error = QStringLiteral("--scan takes off, optional or required");
                o.scan = v;
                return error.isEmpty();
            }},
        {QStringLiteral("--restart-wait"),
            [](Options &o, const QString &v, QString &error) {
                bool ok = false;
                const int seconds = v.toInt(&ok);
                if (!ok || seconds < 1 || seconds > 600)
                    error = QStringLiteral("--restart-wait takes seconds, from 1 to 600");
                o.restartWait = seconds;
                return error.isEmpty();
            }},
        {QStringLiteral("--alt"),
            [](Options &o, const QString &v, QString &error) {
                if (v.trimmed().isEmpty()) {
                    error = QStringLiteral("--alt takes an alternate's number or its memory's name");
                    return false;
                }
                o.alternate = v;
                return true;
            }},
        {QStringLiteral("--address"),
            [](Options &o, const QString &v, QString &error) {
                // ADDR or ADDR:LEN, each hexadecimal (0x...) or decimal, within 32 bits.
                bool addressOk = false, lengthOk = true;
                // Decimal or 0x-hexadecimal: base 0 would read a leading 0 as octal, and
                // 01000000000 as 0x08000000.
                const auto number = [](const QString &text, bool *ok) {
                    return text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toULongLong(ok, 16)
                                                                                     : text.toULongLong(ok, 10);
                };
                const qulonglong address = number(v.section(QLatin1Char(':'), 0, 0), &addressOk);
                const qulonglong length =
                    v.contains(QLatin1Char(':')) ? number(v.section(QLatin1Char(':'), 1), &lengthOk) : 0;
                const bool lengthGiven = v.contains(QLatin1Char(':'));
                if (!addressOk || !lengthOk || address > 0xFFFFFFFFull || length > 0xFFFFFFFFull
                    || (lengthGiven && length == 0) || address + length > 0x100000000ull) {
                    error = QStringLiteral("--address takes ADDR or ADDR:LEN, such as 0x08000000:0x4000 (not \"%1\")")
                                .arg(v);
                    return false;
                }
                o.address = quint32(address);
                o.length = quint32(length);
                return true;
            }},
        {QStringLiteral("--count"),
            [](Options &o, const QString &v, QString &error) {
                bool ok = false;
                o.count = v.toInt(&ok);
                if (!ok || o.count < 1)
                    error = QStringLiteral("--count takes a number of boards (1 or more)");
                return error.isEmpty();
            }},
        {QStringLiteral("--label"), [](Options &o, const QString &v, QString &error) { return addLabel(o, v, error); }},
        {QStringLiteral("--labels"),
            [](Options &o, const QString &v, QString &error) {
                // One PORT=NAME a line; blank lines and lines from # on are left out.
                QByteArray text;
                std::string why;
                if (tolvex::readRegularFile(v.toLocal8Bit().constData(), 1u << 20, text, why)
                    != tolvex::ReadResult::Read) {
                    error = QStringLiteral("cannot read %1: %2").arg(v, QString::fromLocal8Bit(why.c_str()));
                    return false;
                }
                for (QString line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
                    line = line.section(QLatin1Char('#'), 0, 0).trimmed();
                    if (line.isEmpty())
                        continue;
                    if (!addLabel(o, line, error)) {
                        error = QStringLiteral("%1: %2").arg(v, error);
                        return false;
                    }
                }
                return true;
            }},
        {QStringLiteral("--wait-seconds"),
            [](Options &o, const QString &v, QString &error) {
                bool ok = false;
                o.waitSeconds = v.toInt(&ok);
                o.wait = true;
                if (!ok || o.waitSeconds < 0 || o.waitSeconds > 86400)
                    error = QStringLiteral("--wait-seconds takes a number of seconds (0 to 86400)");
                return error.isEmpty();
            }},
    };
    return table;
}

const std::map<QString, bool Options::*> &flags()
{
    static const std::map<QString, bool Options::*> table{
        {QStringLiteral("--all"), &Options::all},
        {QStringLiteral("--json"), &Options::json},
        {QStringLiteral("--stay"), &Options::stay},
        {QStringLiteral("--strict-timing"), &Options::strictTiming},
        {QStringLiteral("--full"), &Options::full},
        {QStringLiteral("--force"), &Options::force},
        {QStringLiteral("--dry-run"), &Options::dryRun},
        {QStringLiteral("--quiet"), &Options::quiet},
        {QStringLiteral("--verbose"), &Options::verbose},
        {QStringLiteral("--help"), &Options::help},
        {QStringLiteral("--wait"), &Options::wait},
        {QStringLiteral("--no-history"), &Options::noHistory},
        {QStringLiteral("--csv"), &Options::csv},
        {QStringLiteral("--allow-older"), &Options::allowOlder},
        {QStringLiteral("--enter"), &Options::enter},
        {QStringLiteral("--utc"), &Options::utc},
        {QStringLiteral("--sync"), &Options::sync},
        {QStringLiteral("--prune"), &Options::prune},
    };
    return table;
}

QString longForm(QChar c)
{
    switch (c.unicode()) {
    case 'j': return QStringLiteral("--json");
    case 'q': return QStringLiteral("--quiet");
    case 'v': return QStringLiteral("--verbose");
    case 'h': return QStringLiteral("--help");
    default: return QString();
    }
}

} // namespace

bool parseOptions(const QStringList &args, const QStringList &allowed, Options &o, QString &error)
{
    o.config = QString::fromLatin1(ConfigurationFileName);
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (optionsEnded || a == QLatin1String("-") || !a.startsWith(QLatin1Char('-'))) {
            o.positional << a;
            continue;
        }
        if (a == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QStringList names;
        std::optional<QString> inlineValue;
        if (a.startsWith(QLatin1String("--"))) {
            const int equals = a.indexOf(QLatin1Char('='));
            names << (equals < 0 ? a : a.left(equals));
            if (equals >= 0)
                inlineValue = a.mid(equals + 1);
        } else {
            for (const QChar c : a.mid(1)) {
                const QString name = longForm(c);
                if (name.isEmpty()) {
                    error = QStringLiteral("unknown option -%1").arg(c);
                    return false;
                }
                names << name;
            }
        }
        for (const QString &name : names) {
            const bool known = name == QLatin1String("--help") || name == QLatin1String("--verbose")
                               || name == QLatin1String("--quiet") || allowed.contains(name);
            if (!known) {
                error = QStringLiteral("unknown option %1").arg(name);
                return false;
            }
            const auto value = valued().find(name);
            if (value != valued().end()) {
                QString given;
                // history --central alone: the central history of central.conf.
                const bool mayGoWithout =
                    name == QLatin1String("--central") && allowed.contains(QStringLiteral("--sync"));
                if (inlineValue) {
                    given = *inlineValue;
                } else if (mayGoWithout && (i + 1 >= args.size() || args.at(i + 1).startsWith(QLatin1Char('-')))) {
                    given.clear();
                } else if (i + 1 < args.size()) {
                    given = args.at(++i);
                } else {
                    error = name + QStringLiteral(" needs a value");
                    return false;
                }
                // history --label NAME: a slot's label to look for, not a PORT=NAME to give.
                if (name == QLatin1String("--label") && allowed.contains(QStringLiteral("--sync"))) {
                    o.label = given;
                    continue;
                }
                if (!value->second(o, given, error))
                    return false;
                continue;
            }
            if (inlineValue) {
                error = name + QStringLiteral(" takes no value");
                return false;
            }
            o.*(flags().at(name)) = true;
        }
    }
    if (o.quiet && o.verbose)
        error = QStringLiteral("--quiet and --verbose exclude each other");
    return error.isEmpty();
}

} // namespace cli
