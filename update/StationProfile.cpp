#include "StationProfile.h"

#include "ConfigFile.h"
#include "Release.h"
#include "SignedFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace update {

namespace {

constexpr qint64 MaxProfileBytes = 64 * 1024;
constexpr int MaxPorts = 256;
constexpr int MaxText = 4096;

// A value as Qt's INI writer gives it: plain, or in double quotes with \" \\ \n \t escapes.
// (Written here rather than read through QSettings: QSettings reads only files, sorts a group's
// keys, which loses the fixture's order, and takes "a, b" for a list.)
bool valueOf(QString raw, QString &out)
{
    raw = raw.trimmed();
    out.clear();
    if (!raw.startsWith(QLatin1Char('"'))) {
        out = raw;
        return true;
    }
    for (int i = 1; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == QLatin1Char('"'))
            return raw.mid(i + 1).trimmed().isEmpty();
        if (c != QLatin1Char('\\')) {
            out += c;
            continue;
        }
        if (++i >= raw.size())
            return false;
        const QChar e = raw.at(i);
        out += e == QLatin1Char('n') ? QChar(QLatin1Char('\n')) : e == QLatin1Char('t') ? QChar(QLatin1Char('\t')) : e;
    }
    return false; // no closing quote
}

bool number(const QString &text, int low, int high, int &out)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < low || n > high)
        return false;
    out = n;
    return true;
}

} // namespace

Outcome parseStationProfile(const QByteArray &text, StationProfile &p)
{
    if (text.size() > MaxProfileBytes)
        return Outcome::refused(QStringLiteral("a profile is at most %1 KiB").arg(MaxProfileBytes / 1024));
    QString group;
    QSet<QString> given, ports;
    int lineNumber = 0;
    for (const QString &raw : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        ++lineNumber;
        const QString line = raw.trimmed();
        const auto fail = [&](const QString &why) {
            return Outcome::refused(why).within(QStringLiteral("line %1").arg(lineNumber));
        };
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')))
                return fail(QStringLiteral("a group reads [NAME]"));
            group = line.mid(1, line.size() - 2).trimmed().toLower();
            if (group != QLatin1String("general") && group != QLatin1String("ports"))
                return fail(QStringLiteral("no group [%1]: a profile has [General] and [ports]").arg(group.left(40)));
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return fail(QStringLiteral("a setting reads KEY = VALUE"));
        const QString key = line.left(equals).trimmed();
        QString value;
        if (!valueOf(line.mid(equals + 1), value))
            return fail(QStringLiteral("the value of %1 has no closing quote").arg(key.left(40)));
        if (value.size() > MaxText)
            return fail(QStringLiteral("the value of %1 is too long").arg(key.left(40)));
        if (group == QLatin1String("ports")) {
            const bool port = !key.isEmpty() && key.size() <= 64 && std::all_of(key.begin(), key.end(), [](QChar c) {
                return c.isDigit() || c == QLatin1Char('-') || c == QLatin1Char('.');
            });
            if (!port)
                return fail(QStringLiteral("\"%1\" is no USB port such as 1-2 or 1-4.3").arg(key.left(40)));
            if (ports.contains(key))
                return fail(QStringLiteral("port %1 is given twice").arg(key));
            if (value.isEmpty())
                return fail(QStringLiteral("port %1 has no label").arg(key));
            if (ports.size() >= MaxPorts)
                return fail(QStringLiteral("more than %1 ports").arg(MaxPorts));
            ports.insert(key);
            p.ports.append({key, value});
            continue;
        }
        if (given.contains(key))
            return fail(QStringLiteral("%1 is given twice").arg(key));
        given.insert(key);
        if (key == QLatin1String("firmware")) {
            p.firmware = value;
        } else if (key == QLatin1String("sha256")) {
            p.sha256 = value.toLower();
            const bool hex = p.sha256.size() == 64 && std::all_of(p.sha256.begin(), p.sha256.end(), [](QChar c) {
                return c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
            });
            if (!hex)
                return fail(QStringLiteral("sha256 takes the 64 hex digits of the firmware's SHA-256"));
        } else if (key == QLatin1String("config")) {
            p.config = value;
        } else if (key == QLatin1String("history")) {
            p.history = value;
        } else if (key == QLatin1String("central")) {
            p.central = value;
        } else if (key == QLatin1String("count")) {
            if (!number(value, 0, 1000000, p.count))
                return fail(QStringLiteral("count takes a number of boards (0: no end)"));
        } else if (key == QLatin1String("restart-wait")) {
            if (!number(value, 1, 600, p.restartWaitSeconds))
                return fail(QStringLiteral("restart-wait takes seconds, from 1 to 600"));
        } else if (key == QLatin1String("columns")) {
            if (!number(value, 0, 64, p.columns))
                return fail(QStringLiteral("columns takes a number from 0 (as many as fit) to 64"));
        } else if (key == QLatin1String("allow-older")) {
            if (value != QLatin1String("true") && value != QLatin1String("false"))
                return fail(QStringLiteral("allow-older takes true or false"));
            p.allowOlder = value == QLatin1String("true");
        } else if (key == QLatin1String("operator")) {
            p.operatorName = value;
        } else if (key == QLatin1String("lot")) {
            p.lot = value;
        } else if (key == QLatin1String("sound")) {
            if (value != QLatin1String("on") && value != QLatin1String("off"))
                return fail(QStringLiteral("sound takes on or off"));
            p.sound = value == QLatin1String("on");
        } else if (key == QLatin1String("theme")) {
            if (value != QLatin1String("normal") && value != QLatin1String("high-contrast"))
                return fail(QStringLiteral("theme takes normal or high-contrast"));
            p.highContrast = value == QLatin1String("high-contrast");
        } else if (key == QLatin1String("language")) {
            const QStringList known{
                QStringLiteral("en"), QStringLiteral("de"), QStringLiteral("es"), QStringLiteral("zh_CN")};
            if (!known.contains(value))
                return fail(QStringLiteral("language takes en, de, es or zh_CN"));
            p.language = value;
        } else if (key == QLatin1String("scan")) {
            if (value == QLatin1String("optional"))
                p.scan = Station::Scan::Optional;
            else if (value == QLatin1String("required"))
                p.scan = Station::Scan::Required;
            else if (value == QLatin1String("off") || value.isEmpty())
                p.scan = Station::Scan::Off;
            else
                return fail(QStringLiteral("scan takes off, optional or required"));
        } else {
            return fail(QStringLiteral("no setting %1").arg(key.left(40)));
        }
    }
    if (p.firmware.isEmpty())
        return Outcome::refused(QStringLiteral("it names no firmware (firmware = FILE.dfu)"));
    return Outcome::ok();
}

Outcome loadStationProfile(const QString &path, StationProfile &p)
{
    // Never through a link: the file read is the file whose owner is judged.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const QString why =
            fd < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("not a regular file");
        if (fd >= 0)
            ::close(fd);
        return Outcome::refused(why).within(QStringLiteral("cannot read the profile %1").arg(path));
    }
    QByteArray text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0 || text.size() > MaxProfileBytes)
            break;
        text.append(buffer, int(n));
    }
    ::close(fd);
    p = StationProfile();
    p.path = QFileInfo(path).absoluteFilePath();
    p.locked = st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    const Outcome parsed = parseStationProfile(text, p);
    if (!parsed)
        return parsed.within(QStringLiteral("the profile %1").arg(path));
    // Paths in it are from its own folder, wherever the station is started.
    const QDir folder = QFileInfo(p.path).dir();
    for (QString *file : {&p.firmware, &p.config, &p.history}) {
        if (!file->isEmpty())
            *file = QDir::cleanPath(folder.absoluteFilePath(*file));
    }
    return Outcome::ok();
}

Outcome stationSettings(const StationProfile &profile, Station::Settings &s, StationFirmware &firmware)
{
    s.road.file = readDfuFile(profile.firmware);
    if (!profile.sha256.isEmpty() && s.road.file->sha256 != profile.sha256) {
        return Outcome::refused(
            QStringLiteral("%1 is not the firmware the profile names: its SHA-256 is %2, the profile's %3")
                .arg(profile.firmware, s.road.file->sha256, profile.sha256));
    }
    const QString config = profile.config.isEmpty() ? QString::fromLatin1(ConfigurationFileName) : profile.config;
    const LoadedConfiguration loaded = readConfiguration(config);
    if (loaded.result != LoadedConfiguration::Loaded)
        return Outcome::refused(loaded.error);
    s.road.names = loaded.names;
    const DfuFileCheck checked = checkDfuFile(*s.road.file, s.road.names);
    if (!checked.outcome)
        return checked.outcome;
    firmware.signature = checked.signature;
    firmware.release = releaseOfFile(checked.release).text;
    s.road.fileRelease = checked.release;
    s.road.allowOlder = profile.allowOlder;
    s.road.arrivalTimeoutMs = profile.restartWaitSeconds * 1000;
    s.historyPath = profile.history.isEmpty() ? History::defaultPath() : profile.history;
    s.count = profile.count;
    s.scan = profile.scan;
    s.labels.clear();
    s.ports.clear();
    for (const auto &port : profile.ports) {
        s.labels.insert(port.first, port.second);
        s.ports << port.first;
    }
    return Outcome::ok();
}

Outcome stationFromProfile(
    const QString &path, StationProfile &profile, Station::Settings &settings, StationFirmware &firmware)
{
    const Outcome loaded = loadStationProfile(path, profile);
    return loaded ? stationSettings(profile, settings, firmware) : loaded;
}

} // namespace update
