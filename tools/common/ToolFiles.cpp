#include "ToolFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace tool {

namespace {
const char *programName = "tolvex";
}

void setProgramName(const char *name)
{
    programName = name;
}

void printErr(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", programName, qPrintable(text));
}

int usageError(const char *usage, const QString &text)
{
    printErr(text);
    std::fputs(usage, stderr);
    return ExitUsage;
}

bool readAll(const QString &path, QByteArray &out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        printErr(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    out = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        printErr(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool writeAll(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        printErr(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool sameFile(const QString &a, const QString &b)
{
    const QFileInfo fa(a), fb(b);
    if (fa.exists() && fb.exists())
        return fa.canonicalFilePath() == fb.canonicalFilePath();
    return fa.absoluteFilePath() == fb.absoluteFilePath();
}

int refuseOverwrite()
{
    printErr(QStringLiteral("OUT is the same file as IN; refusing to overwrite the input"));
    return ExitUsage;
}

} // namespace tool
