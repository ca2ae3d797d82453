#pragma once

// File handling shared by the staff's command-line tools: reading whole files, writing
// them all-or-nothing, and refusing to write over an input.

#include <QByteArray>
#include <QString>

namespace tool {

enum ExitCode { ExitOk = 0, ExitFindings = 1, ExitUsage = 2, ExitFailure = 3 };

// The program's name, for its messages; set once in main().
void setProgramName(const char *name);
void printErr(const QString &text);
// Prints the error and the usage text; returns ExitUsage.
int usageError(const char *usage, const QString &text);

bool readAll(const QString &path, QByteArray &out);
// Written through QSaveFile so that the file is either complete or left as it was.
bool writeAll(const QString &path, const QByteArray &data);
bool sameFile(const QString &a, const QString &b);
int refuseOverwrite();

} // namespace tool
