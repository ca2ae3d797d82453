// What a central history is reached by: its connection string (given, or central.conf's line),
// checked and passed on to Qt's PostgreSQL driver, shown with any password masked; and the
// settings beside it in central.conf (keep-days, station-name).

#include "Central.h"

#include "RegularFile.h"
#include "SignedFile.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>

namespace update {

namespace {

// A server that does not answer in this time is away: the rows wait locally.
constexpr int ConnectTimeoutSeconds = 5;
// A network that stops carrying what was sent, or a server that stops answering, ends the
// connection within seconds rather than when the kernel gives up (minutes, or never): data
// unacknowledged this long, and keepalives unanswered, close it.
constexpr int TcpUserTimeoutMs = 10000;
constexpr int KeepalivesIdleSeconds = 5;
constexpr int KeepalivesIntervalSeconds = 2;
constexpr int KeepalivesCount = 3;

} // namespace

// libpq reads the URI or key=value text itself; Qt's driver takes key=value pairs, in which it
// turns every ';' into a space.
Outcome centralDriverOptions(const QString &connection, QString &options)
{
    char *error = nullptr;
    PQconninfoOption *parsed = PQconninfoParse(connection.toUtf8().constData(), &error);
    if (!parsed) {
        QString why = error ? QString::fromUtf8(error).simplified() : QStringLiteral("it cannot be read");
        PQfreemem(error);
        // libpq quotes a URI it cannot read whole, password and all.
        const QString password = QUrl(connection, QUrl::TolerantMode).password();
        why.replace(connection, maskedConnection(connection));
        if (!password.isEmpty())
            why.replace(password, QStringLiteral("****"));
        return Outcome::refused(why);
    }
    QStringList pairs;
    QStringList given;
    bool tcp = false;
    for (const PQconninfoOption *o = parsed; o->keyword; ++o) {
        if (!o->val)
            continue;
        const QString key = QString::fromLatin1(o->keyword);
        given << key;
        // A host that is not a socket folder (libpq takes a leading '/' or '@' for one), or an
        // address: the network, where TLS is wanted.
        if ((key == QLatin1String("host") || key == QLatin1String("hostaddr")) && *o->val
            && !QString::fromUtf8(o->val).split(QLatin1Char(',')).first().startsWith(QLatin1Char('/'))
            && !QString::fromUtf8(o->val).startsWith(QLatin1Char('@')))
            tcp = true;
        QString value = QString::fromUtf8(o->val);
        if (value.contains(QLatin1Char(';'))) {
            PQconninfoFree(parsed);
            return Outcome::refused(
                QStringLiteral("the value of %1 holds a ';', which Qt's PostgreSQL driver cannot pass on").arg(key));
        }
        value.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
        pairs << QStringLiteral("%1='%2'").arg(key, value);
    }
    PQconninfoFree(parsed);
    const auto fallback = [&](const char *key, const QString &value) {
        if (!given.contains(QLatin1String(key)))
            pairs << QStringLiteral("%1=%2").arg(QLatin1String(key), value);
    };
    fallback("connect_timeout", QString::number(ConnectTimeoutSeconds));
    fallback("application_name", QStringLiteral("tolvex-dfu"));
    fallback("keepalives", QStringLiteral("1"));
    fallback("keepalives_idle", QString::number(KeepalivesIdleSeconds));
    fallback("keepalives_interval", QString::number(KeepalivesIntervalSeconds));
    fallback("keepalives_count", QString::number(KeepalivesCount));
    fallback("tcp_user_timeout", QString::number(TcpUserTimeoutMs));
    // libpq's own default (prefer) lets a server that declines TLS ask for the password in
    // clear, and ~/.pgpass hands it over: over a network, TLS with the server's certificate
    // verified unless the connection says otherwise (a service file may: it is read then).
    if (tcp && !given.contains(QLatin1String("service")) && std::getenv("PGSSLMODE") == nullptr)
        fallback("sslmode", QStringLiteral("verify-full"));
    options = pairs.join(QLatin1Char(' '));
    return Outcome::ok();
}

namespace {

// "keep-days = 30": a setting, whose name no libpq connection string starts with.
const QRegularExpression &settingLine()
{
    static const QRegularExpression line(QStringLiteral(R"(^(keep-days|station-name)\s*=\s*(.*)$)"));
    return line;
}

QStringList meaningfulLines(const QByteArray &text)
{
    QStringList out;
    for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith(QLatin1Char('#')))
            out << trimmed;
    }
    return out;
}

} // namespace

QString centralLineOf(const QByteArray &text)
{
    for (const QString &line : meaningfulLines(text)) {
        if (!settingLine().match(line).hasMatch())
            return line;
    }
    return QString();
}

Outcome readHistorySettings(const QByteArray &text, HistorySettings &into, QStringList &given)
{
    constexpr int MaxKeepDays = 100 * 366;
    constexpr int MaxStationName = 64;
    // A setting that cannot be read is not taken, and the others still are: a misspelt
    // keep-days must not lose the station's name.
    Outcome first;
    const auto refuse = [&first](const QString &why) {
        if (first)
            first = Outcome::refused(why);
    };
    for (const QString &line : meaningfulLines(text)) {
        const QRegularExpressionMatch m = settingLine().match(line);
        if (!m.hasMatch() || given.contains(m.captured(1)))
            continue;
        const QString name = m.captured(1), value = m.captured(2);
        given << name;
        if (name == QLatin1String("keep-days")) {
            bool ok = false;
            const int days = value.toInt(&ok);
            if (!ok || days < 0 || days > MaxKeepDays) {
                refuse(
                    QStringLiteral("keep-days takes a whole number of days from 0 (keep every row) to %1, not \"%2\"")
                        .arg(MaxKeepDays)
                        .arg(value.left(MaxStationName)));
                continue;
            }
            into.keepDays = days;
        } else {
            // Shown in tables and sent to the central history: printable, and short.
            const bool printable = std::all_of(value.begin(), value.end(), [](QChar c) { return c.isPrint(); });
            if (value.isEmpty() || value.size() > MaxStationName || !printable) {
                refuse(QStringLiteral("station-name takes a name of 1 to %1 printable characters").arg(MaxStationName));
                continue;
            }
            into.stationName = value;
        }
    }
    return first;
}

Outcome historySettings(const QString &given, HistorySettings &out)
{
    out = HistorySettings();
    Outcome outcome;
    if (!given.isEmpty()) {
        out.central = given;
        out.origin = QStringLiteral("--central");
    }
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    const QString machine = machineSettingsFolder();
    QStringList settled;
    for (const QString &path : {config + QStringLiteral("/tolvex-dfu/central.conf"),
             machine.isEmpty() ? QString() : machine + QStringLiteral("/central.conf")}) {
        if (path.isEmpty())
            continue;
        QByteArray text;
        std::string why;
        const tolvex::ReadResult read = tolvex::readRegularFile(path.toLocal8Bit().constData(), 64 * 1024, text, why);
        if (read == tolvex::ReadResult::Missing)
            continue;
        if (read != tolvex::ReadResult::Read) {
            outcome = Outcome::refused(
                QStringLiteral("%1 cannot be read: %2").arg(path, QString::fromLocal8Bit(why.c_str())));
            // A connection of a file read before stays; nothing of this one is guessed.
            if (!given.isEmpty() || !out.central.isEmpty())
                continue;
            out = HistorySettings();
            return outcome;
        }
        const Outcome settings = readHistorySettings(text, out, settled).within(path);
        if (!settings)
            outcome = settings;
        const QString line = centralLineOf(text);
        if (out.central.isEmpty() && !line.isEmpty()) {
            out.central = line;
            out.origin = path;
        }
    }
    return outcome;
}

QString maskedConnection(const QString &connection)
{
    const QString mask = QStringLiteral("****");
    if (connection.startsWith(QLatin1String("postgresql://")) || connection.startsWith(QLatin1String("postgres://"))) {
        QUrl url(connection);
        if (!url.isValid())
            return QStringLiteral("(a connection URI that cannot be read)");
        if (!url.password().isEmpty())
            url.setPassword(mask);
        QUrlQuery query(url);
        if (query.hasQueryItem(QStringLiteral("password"))) {
            query.removeAllQueryItems(QStringLiteral("password"));
            query.addQueryItem(QStringLiteral("password"), mask);
            url.setQuery(query);
        }
        return url.toString();
    }
    QString shown = connection;
    // A value is quoted, or runs to the next blank that no backslash escapes (as libpq reads it).
    static const QRegularExpression password(
        QStringLiteral(R"((\bpassword\s*=\s*)('(?:[^'\\]|\\.)*'?|(?:[^\s\\]|\\.?)*))"));
    return shown.replace(password, QStringLiteral("\\1") + mask);
}

} // namespace update
