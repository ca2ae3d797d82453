#pragma once

// Runs one of the command-line tools and keeps what it said.

#include <QProcess>
#include <QString>
#include <QStringList>

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

inline Run runProgram(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}
