#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the window would read from a Config.ini, and what in it the format accepts
// silently but is probably a mistake.
struct ConfigReport
{
    bool decrypted = false;
    QByteArray plain;
    QString text;
    QStringList lines; // one printable line per item, as the window reads it
    QStringList warnings;
};

ConfigReport checkConfiguration(const QByteArray &cipherText);
