#pragma once

// Which firmware is older: the release a .dfu file declares, against the version a board
// reports in its application. A signature binds bytes, not time, so without this rule a
// maker-signed old file would roll a board back to firmware with known faults.
//
// The rule: a file's release is its suffix's bcdDevice read as BCD major.minor (0x0102 is
// 1.02: major 1, minor 2); 0xFFFF, 0x0000 and a nibble above 9 mean "not given". A board's
// version is the first run of digits and dots in its version text ("V1.2" is 1.2, "2.10b" is
// 2.10), compared number by number as far as both give numbers. Where either is unknown,
// nothing is refused.

#include <QList>
#include <QString>
#include <QtGlobal>

struct FirmwareRelease
{
    QList<int> numbers; // empty: not known
    bool known() const { return !numbers.isEmpty(); }
    // "1.02" for a file, or the board's own digits.
    QString text;
};

FirmwareRelease releaseOfFile(quint16 bcdDevice);
FirmwareRelease releaseOfBoard(const QString &versionText);
// Whether `file` is older than `board`; false when either is unknown.
bool olderThan(const FirmwareRelease &file, const FirmwareRelease &board);
