#include "ToolFiles.h"

#include "RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace tool {

namespace {
const char *programName = "tolvex";
}

int runCommand(int argc, char *argv[], const char *program, const char *usage,
               std::initializer_list<std::pair<const char *, Command>> commands)
{
    programName = program;
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.isEmpty())
        return usageError(usage, QStringLiteral("no command given"));
    const QString word = args.takeFirst();
    for (const auto &c : commands) {
        if (word == QLatin1String(c.first))
            return c.second(args);
    }
    if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
        std::fputs(usage, stdout);
        return ExitOk;
    }
    if (word == QLatin1String("--version")) {
        std::printf("%s %s\n", program, TOLVEX_VERSION);
        return ExitOk;
    }
    return usageError(usage, QStringLiteral("unknown command '%1'").arg(word));
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
    // No input of these tools is larger; a pipe or a device is refused rather than waited on.
    constexpr uint64_t Limit = uint64_t(1) << 30;
    std::string why;
    if (tolvex::readRegularFile(path.toLocal8Bit().constData(), Limit, out, why) != tolvex::ReadResult::Read) {
        printErr(QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(why.c_str())));
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
