#pragma once

// Small helpers of the tests: files read and written whole, and test data.

#include <QByteArray>
#include <QFile>
#include <QString>

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Bytes that differ from position to position and from seed to seed, and are not 0xFF
// throughout, so that erased flash never passes for them.
inline QByteArray pattern(int size, int seed)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return b;
}
