// tolvex-config: makes and inspects the encrypted Config.ini that the tool reads.

#include "ConfigCipher.h"
#include "ConfigFile.h"
#include "ConfigLint.h"
#include "DisplayText.h"
#include "ToolFiles.h"

#include <QStringList>

#include <cstdio>
#include <initializer_list>
#include <utility>

namespace {

using namespace tool;

const char Usage[] =
    "Usage:\n"
    "  tolvex-config encrypt IN OUT [--compress auto|always|never] [--integrity none|checksum|hash]\n"
    "      Encrypts the bytes of IN (plain text, one \"product,image name\" line each, every\n"
    "      line ended by a line feed) into the Config.ini file OUT.\n"
    "  tolvex-config decrypt IN OUT\n"
    "      Decrypts the Config.ini file IN into the plain bytes OUT.\n"
    "  tolvex-config check IN\n"
    "      Prints the product / image-name list as the tool will read it from IN and warns\n"
    "      about what the format accepts silently.\n"
    "  tolvex-config --version\n"
    "Exit codes: 0 success, 1 check found warnings, 2 usage error, 3 failure.\n";

// The mode named `value` among `choices`, or -1.
int choice(const QString &value, std::initializer_list<std::pair<const char *, int>> choices)
{
    for (const auto &c : choices)
        if (value == QLatin1String(c.first))
            return c.second;
    return -1;
}

int encrypt(const QStringList &args)
{
    QStringList files;
    ConfigCipher cipher(ConfigurationKey);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--compress") || a == QLatin1String("--integrity")) {
            if (i + 1 >= args.size())
                return usageError(Usage, QStringLiteral("%1 needs a value").arg(a));
            const QString v = args.at(++i);
            const bool compress = a == QLatin1String("--compress");
            const int mode = compress ? choice(v, {{"auto", ConfigCipher::CompressAuto},
                                                   {"always", ConfigCipher::CompressAlways},
                                                   {"never", ConfigCipher::CompressNever}})
                                      : choice(v, {{"none", ConfigCipher::IntegrityNone},
                                                   {"checksum", ConfigCipher::IntegrityChecksum},
                                                   {"hash", ConfigCipher::IntegrityHash}});
            if (mode < 0)
                return usageError(Usage, QStringLiteral("unknown %1 value '%2'").arg(a, v));
            if (compress)
                cipher.setCompressionMode(ConfigCipher::CompressionMode(mode));
            else
                cipher.setIntegrityMode(ConfigCipher::IntegrityMode(mode));
        } else if (a.startsWith(QLatin1String("--"))) {
            return usageError(Usage, QStringLiteral("unknown option '%1'").arg(a));
        } else {
            files << a;
        }
    }
    if (files.size() != 2)
        return usageError(Usage, QStringLiteral("encrypt takes IN and OUT"));
    if (sameFile(files[0], files[1]))
        return refuseOverwrite();
    QByteArray plain;
    if (!readAll(files[0], plain))
        return ExitFailure;
    const QByteArray cipherText = cipher.encryptBytes(plain);
    return writeAll(files[1], cipherText) ? ExitOk : ExitFailure;
}

int decrypt(const QStringList &args)
{
    if (args.size() != 2)
        return usageError(Usage, QStringLiteral("decrypt takes IN and OUT"));
    if (sameFile(args[0], args[1]))
        return refuseOverwrite();
    QByteArray cipherText;
    if (!readAll(args[0], cipherText))
        return ExitFailure;
    const ConfigReport report = checkConfiguration(cipherText);
    if (!report.decrypted) {
        printErr(QStringLiteral("%1: %2").arg(args[0], report.warnings.value(0)));
        return ExitFailure;
    }
    return writeAll(args[1], report.plain) ? ExitOk : ExitFailure;
}

int check(const QStringList &args)
{
    if (args.size() != 1)
        return usageError(Usage, QStringLiteral("check takes IN"));
    QByteArray cipherText;
    if (!readAll(args[0], cipherText))
        return ExitFailure;
    const ConfigReport report = checkConfiguration(cipherText);
    if (report.decrypted) {
        std::printf("%lld product line(s) in %s:\n", static_cast<long long>(report.lines.size()),
            qPrintable(display::text(args[0])));
        // The file's lines are data: a control character in one is shown, never obeyed.
        for (const QString &line : report.lines)
            std::printf("  %s\n", qPrintable(display::text(line)));
    }
    for (const QString &w : report.warnings)
        std::fprintf(stderr, "warning: %s\n", qPrintable(display::text(w)));
    if (!report.decrypted)
        return ExitFailure;
    return report.warnings.isEmpty() ? ExitOk : ExitFindings;
}

} // namespace

int main(int argc, char *argv[])
{
    return tool::runCommand(argc, argv, "tolvex-config", Usage,
                            {{"encrypt", encrypt}, {"decrypt", decrypt}, {"check", check}});
}
