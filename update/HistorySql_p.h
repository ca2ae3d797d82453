#pragma once

// What the history's files and the central history share of SQL: the columns, the test of an
// unsent row, SQLite's result codes, the values bound, and the reasons given for failures.
// Only for update/'s own sources.

#include <QAtomicInteger>
#include <QDateTime>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace update::sql {

// SQLite's primary result codes (the driver reports extended ones; the low byte is the primary).
enum SqliteCode {
    Busy = 5,
    Locked = 6,
    ReadOnly = 8,
    IoError = 10,
    Corrupt = 11,
    Full = 13,
    CantOpen = 14,
    NotADb = 26
};

// Every column, as this program writes them; older files lack some of the later ones.
inline const QStringList Columns{QStringLiteral("id"), QStringLiteral("uuid"), QStringLiteral("started"),
    QStringLiteral("ended"), QStringLiteral("program"), QStringLiteral("program_version"), QStringLiteral("host"),
    QStringLiteral("product"), QStringLiteral("serial"), QStringLiteral("boot_serial"), QStringLiteral("location"),
    QStringLiteral("version_before"), QStringLiteral("version_after"), QStringLiteral("file"),
    QStringLiteral("file_sha256"), QStringLiteral("file_release"), QStringLiteral("image_name"),
    QStringLiteral("sectors_written"), QStringLiteral("sectors_kept"), QStringLiteral("bytes_verified"),
    QStringLiteral("result"), QStringLiteral("message"), QStringLiteral("seconds"), QStringLiteral("label"),
    QStringLiteral("operator_name"), QStringLiteral("lot"), QStringLiteral("scanned_label")};

// The rows still to be sent to the central history.
inline const char UnsentRows[] = "sent_revision IS NULL OR sent_revision < revision";

inline QVariant orNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

inline QVariant orNull(qint64 number)
{
    return number < 0 ? QVariant() : QVariant(number);
}

inline QString isoUtc(const QDateTime &t)
{
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

inline int primaryCode(const QSqlError &e)
{
    bool ok = false;
    const int code = e.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;
}

inline QString reasonOf(const QSqlError &e)
{
    return e.databaseText().isEmpty() ? e.text() : e.databaseText();
}

// A name of its own for each connection: Qt SQL keeps them by name, process-wide.
inline QString connectionName(const char *prefix)
{
    static QAtomicInteger<quint64> made;
    return QStringLiteral("%1-%2").arg(QLatin1String(prefix)).arg(made.fetchAndAddRelaxed(1));
}

} // namespace update::sql
