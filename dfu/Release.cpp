#include "Release.h"

#include <QRegularExpression>

#include <algorithm>

FirmwareRelease releaseOfFile(quint16 bcd)
{
    FirmwareRelease r;
    if (bcd == 0xFFFF || bcd == 0)
        return r;
    for (int shift = 0; shift < 16; shift += 4) {
        if (((bcd >> shift) & 0xF) > 9)
            return r;
    }
    const int major = ((bcd >> 12) & 0xF) * 10 + ((bcd >> 8) & 0xF);
    const int minor = ((bcd >> 4) & 0xF) * 10 + (bcd & 0xF);
    r.numbers = {major, minor};
    r.text = QStringLiteral("%1.%2").arg(major).arg(minor, 2, 10, QLatin1Char('0'));
    return r;
}

FirmwareRelease releaseOfBoard(const QString &versionText)
{
    FirmwareRelease r;
    static const QRegularExpression digits(QStringLiteral("\\d+(\\.\\d+)*"));
    const QRegularExpressionMatch m = digits.match(versionText);
    if (!m.hasMatch())
        return r;
    for (const QString &part : m.captured(0).split(QLatin1Char('.'))) {
        bool ok = false;
        const int n = part.left(6).toInt(&ok);
        if (!ok)
            return FirmwareRelease();
        r.numbers << n;
    }
    r.text = m.captured(0);
    return r;
}

bool olderThan(const FirmwareRelease &file, const FirmwareRelease &board)
{
    if (!file.known() || !board.known())
        return false;
    // Only the numbers both give count: a file of 1.02 is not older than a board's 1.2.3.
    const int n = int(std::min(file.numbers.size(), board.numbers.size()));
    for (int i = 0; i < n; ++i) {
        if (file.numbers[i] != board.numbers[i])
            return file.numbers[i] < board.numbers[i];
    }
    return false;
}
