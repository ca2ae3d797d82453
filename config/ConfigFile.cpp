#include "ConfigFile.h"

#include "ConfigCipher.h"
#include "RegularFile.h"

#include <QDebug>

ImageNameList splitConfigurationText(const QString &text)
{
    ImageNameList list;
    const QStringList lines = text.split(QLatin1Char('\n'));
    // The last piece is whatever follows the last line feed: never a complete line.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        list.append(lines.at(i).split(QLatin1Char(',')));
    return list;
}

QString imageNameListDebugText(const ImageNameList &list)
{
    QString out;
    QDebug debug(&out);
    debug.nospace() << '(';
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i)
            debug << ", ";
        debug << '(';
        const QStringList &fields = list.at(i);
        for (qsizetype f = 0; f < fields.size(); ++f) {
            if (f)
                debug << ", ";
            debug << fields.at(f); // quoted, with control characters escaped
        }
        debug << ')';
    }
    debug << ')';
    return out;
}

QString permittedImageName(const ImageNameList &list, const QString &product)
{
    for (const QStringList &item : list) {
        if (item.size() > 1 && item.at(0) == product)
            return item.at(1);
    }
    return QString();
}

bool imageNamePermitted(const QString &permitted, const QString &imageName)
{
    return !permitted.isEmpty() && permitted.contains(imageName, Qt::CaseInsensitive);
}

LoadedConfiguration readConfiguration(const QString &path)
{
    LoadedConfiguration c;
    // A real one holds a few lines; a pipe or a device is refused rather than waited on.
    constexpr uint64_t Limit = 16u << 20;
    QByteArray bytes;
    std::string why;
    if (tolvex::readRegularFile(path.toLocal8Bit().constData(), Limit, bytes, why) != tolvex::ReadResult::Read) {
        c.error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(why.c_str()));
        return c;
    }
    ConfigCipher cipher(ConfigurationKey);
    c.text = cipher.decryptBytesToText(bytes);
    if (cipher.lastError() != ConfigCipher::CipherOk) {
        c.result = LoadedConfiguration::Undecryptable;
        c.cipherError = int(cipher.lastError());
        c.error = QStringLiteral("%1 does not decrypt: it is damaged or not a Config.ini").arg(path);
    } else {
        c.result = LoadedConfiguration::Loaded;
    }
    c.names = splitConfigurationText(c.text);
    return c;
}
