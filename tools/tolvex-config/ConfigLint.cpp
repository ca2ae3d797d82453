#include "ConfigLint.h"

#include "ConfigCipher.h"
#include "ConfigFile.h"

#include <QDebug>
#include <QSet>
#include <QStringDecoder>

namespace {

QString quoted(const QString &field)
{
    QString out;
    QDebug(&out).nospace() << field;
    return out;
}

} // namespace

ConfigReport checkConfiguration(const QByteArray &cipherText)
{
    ConfigReport report;
    ConfigCipher cipher(ConfigurationKey);
    if (cipherText.size() < 3) {
        report.warnings << QStringLiteral("the file is too short to be a Config.ini cipher text (%1 bytes)")
                               .arg(cipherText.size());
        return report;
    }
    report.plain = cipher.decryptBytes(cipherText);
    const QByteArray &plain = report.plain;
    switch (cipher.lastError()) {
    case ConfigCipher::CipherOk:
        break;
    case ConfigCipher::CipherBadVersion:
        report.warnings << QStringLiteral("the file does not decrypt: not a Config.ini cipher text");
        return report;
    case ConfigCipher::CipherIntegrityFailed:
        report.warnings << QStringLiteral(
            "the file does not decrypt: its integrity check failed (wrong key or damaged file)");
        return report;
    case ConfigCipher::CipherDamaged:
        report.warnings << QStringLiteral("the file does not decrypt: its compressed text is damaged");
        return report;
    case ConfigCipher::CipherNoKey:
        report.warnings << QStringLiteral("the file does not decrypt: no key");
        return report;
    }
    report.decrypted = true;

    QStringDecoder decoder(QStringDecoder::Utf8);
    report.text = decoder(plain);
    if (decoder.hasError())
        report.warnings << QStringLiteral("the decrypted text is not valid UTF-8 (wrong key without an integrity "
                                          "field, or a damaged file)");
    if (plain.isEmpty())
        report.warnings << QStringLiteral("the file decrypts to no text: the window will know no product");

    const ImageNameList list = splitConfigurationText(report.text);
    const int lastFeed = report.text.lastIndexOf(QLatin1Char('\n'));
    if (lastFeed + 1 < report.text.size())
        report.warnings << QStringLiteral("the last line has no line feed and is ignored: %1")
                               .arg(quoted(report.text.mid(lastFeed + 1)));

    QSet<QString> seen;
    bool crWarned = false;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QStringList &fields = list.at(i);
        const int lineNo = int(i) + 1;
        QStringList shown;
        for (const QString &f : fields)
            shown << quoted(f);
        report.lines << QStringLiteral("%1: %2").arg(lineNo).arg(shown.join(QStringLiteral(", ")));
        if (!crWarned && fields.last().endsWith(QLatin1Char('\r'))) {
            report.warnings << QStringLiteral("line %1 ends with CR-LF: the carriage return becomes part of the "
                                              "last field")
                                   .arg(lineNo);
            crWarned = true;
        }
        if (fields.size() < 2)
            report.warnings << QStringLiteral("line %1 has no comma: product %2 has no image name")
                                   .arg(lineNo)
                                   .arg(quoted(fields.first()));
        if (seen.contains(fields.first()))
            report.warnings << QStringLiteral("line %1 lists product %2 again").arg(lineNo).arg(quoted(fields.first()));
        seen.insert(fields.first());
    }
    return report;
}
