#pragma once

// File handling shared by the staff's command-line tools: reading whole files, writing
// them all-or-nothing, and refusing to write over an input.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <utility>

namespace tool {

enum ExitCode { ExitOk = 0, ExitFindings = 1, ExitUsage = 2, ExitFailure = 3 };

using Command = int (*)(const QStringList &args);

// The main() of a tool: takes the command word, runs its function with the remaining
// arguments and returns its exit code; --help prints the usage.
int runCommand(int argc, char *argv[], const char *program, const char *usage,
               std::initializer_list<std::pair<const char *, Command>> commands);
void printErr(const QString &text);
// Prints the error and the usage text; returns ExitUsage.
int usageError(const char *usage, const QString &text);

bool readAll(const QString &path, QByteArray &out);
// Written through QSaveFile so that the file is either complete or left as it was.
bool writeAll(const QString &path, const QByteArray &data);
bool sameFile(const QString &a, const QString &b);
int refuseOverwrite();

} // namespace tool
