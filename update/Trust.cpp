// Who could have written a history: a record authorises a restore only if nobody but the
// running user could have put it there.

#include "History.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace update {

namespace {

// Why a file or folder that another user could change is no evidence; empty if none could.
QString writableByOthers(const QString &path, const struct stat &st, bool folder)
{
    const uid_t me = ::geteuid();
    if (!folder && st.st_uid != me)
        return QStringLiteral("%1 belongs to another user").arg(path);
    if (folder && st.st_uid != me && st.st_uid != 0)
        return QStringLiteral("the folder %1 belongs to another user").arg(path);
    // A root-owned sticky folder (/tmp) lets nobody else rename or remove what is ours in it.
    const bool sticky = folder && (st.st_mode & S_ISVTX) && st.st_uid == 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !sticky)
        return QStringLiteral("%1 %2 can be written by other users")
            .arg(folder ? QStringLiteral("the folder") : QStringLiteral("the file"), path);
    return QString();
}

// Why the history at `path` is no evidence of what the running user did; empty if it is.
QString evidenceProblem(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("no history is kept");
    struct stat st;
    const QByteArray local = QFile::encodeName(path);
    if (::lstat(local.constData(), &st) != 0)
        return QStringLiteral("there is no history at %1").arg(path);
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("the history %1 is a symbolic link").arg(path);
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("the history %1 is not a regular file").arg(path);
    QString why = writableByOthers(path, st, false);
    // SQLite's write-ahead log holds rows not yet in the file itself.
    const QByteArray wal = local + "-wal";
    if (why.isEmpty() && ::lstat(wal.constData(), &st) == 0)
        why = S_ISREG(st.st_mode) ? writableByOthers(QFile::decodeName(wal), st, false)
                                  : QStringLiteral("%1 is not a regular file").arg(QFile::decodeName(wal));
    // Every folder above it, as far as the root: whoever can rename one can put another file
    // in the history's place.
    for (QString dir = QFileInfo(path).absolutePath(); why.isEmpty(); dir = QFileInfo(dir).path()) {
        if (::stat(QFile::encodeName(dir).constData(), &st) != 0)
            return QStringLiteral("the folder %1 cannot be examined").arg(dir);
        why = writableByOthers(dir, st, true);
        if (dir == QLatin1String("/"))
            break;
    }
    return why;
}

} // namespace

Outcome History::credentials(const QString &path)
{
    const QString why = evidenceProblem(path);
    return why.isEmpty() ? Outcome::ok() : Outcome::refused(why);
}

} // namespace update
