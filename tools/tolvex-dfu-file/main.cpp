// tolvex-dfu-file: inspects multi-image .dfu files and packs them from firmware binaries
// or Intel HEX files, for the maker's firmware team and for our own sample files.

#include "DfuFileFormat.h"
#include "DisplayText.h"
#include "FileSignature.h"
#include "IntelHex.h"
#include "LittleEndian.h"
#include "ToolFiles.h"

#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

using namespace tool;

const char Usage[] = "Usage:\n"
                     "  tolvex-dfu-file info FILE [--pubkey KEY.pub]\n"
                     "      Prints the prefix, every target and element, the suffix and whether the CRC is right,\n"
                     "      and the signature FILE.minisig if there is one: its key id, its trusted comment, and\n"
                     "      whether it verifies against the installed trusted keys, or against KEY.pub.\n"
                     "  tolvex-dfu-file pack OUT [--vid ID] [--pid ID] [--release BCD] [--damage-crc] TARGET...\n"
                     "      Writes a multi-image .dfu file. Each TARGET is\n"
                     "        --target ALTERNATE NAME ELEMENT...\n"
                     "      and each ELEMENT is either ADDRESS:FILE (the bytes of a binary file at ADDRESS)\n"
                     "      or FILE.hex (the data of an Intel HEX file at its own addresses). Numbers may be\n"
                     "      decimal or 0x-prefixed. --vid and --pid default to 0x1209 and 0x2A17; without\n"
                     "      --release (BCD, 0x0102 is 1.02) the file declares none (0xFFFF). --damage-crc\n"
                     "      writes a wrong CRC on purpose, to test readers of such files.\n"
                     "  tolvex-dfu-file --version\n"
                     "Exit codes: 0 success (info: the file is sound), 1 info found the file or its signature\n"
                     "damaged, or a signature that does not match,\n"
                     "2 usage error, 3 failure.\n";

bool number(const QString &text, quint64 limit, quint64 &out)
{
    bool ok = false;
    out = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toULongLong(&ok, 16)
                                                                      : text.toULongLong(&ok, 10);
    return ok && out <= limit;
}

using tolvex::le32;

// The signature beside `path` of `file`: what it is, and whether it verifies. True when
// there is nothing wrong with it (none, or one that verifies or cannot be checked here).
bool showSignature(const QString &path, const QByteArray &file, const QString &pubkey)
{
    dfulib::TrustedKeys trusted;
    std::string error;
    const char *against = "the installed trusted keys";
    if (!pubkey.isEmpty()) {
        QByteArray text;
        dfulib::MinisignKey key;
        if (!readAll(pubkey, text) || !dfulib::parseMinisignKey(text.toStdString(), key, error)) {
            std::printf("Signature: %s is no minisign public key%s%s\n", qPrintable(pubkey), error.empty() ? "" : ": ",
                        error.c_str());
            return false;
        }
        trusted.keys.push_back(key);
        against = "the key given";
    } else {
        trusted = dfulib::loadTrustedKeys(dfulib::trustedKeyFolders());
        for (const std::string &p : trusted.problems)
            std::printf("Trusted keys: %s (the tools write no file until that is mended)\n", p.c_str());
    }
    const dfulib::SignatureCheck c = dfulib::checkSignatureBeside(path.toLocal8Bit().toStdString(),
        reinterpret_cast<const uint8_t *>(file.constData()), size_t(file.size()), trusted.keys);
    switch (c.verdict) {
    case dfulib::SignatureVerdict::NoSignature:
        std::printf("Signature: not signed%s\n", trusted.installed() ? " (the tools write only signed files)" : "");
        return true;
    case dfulib::SignatureVerdict::Damaged:
        std::printf("Signature: %s\n", qPrintable(display::text(QString::fromStdString(dfulib::verdictText(c)))));
        return false;
    default: break;
    }
    // The comment is the signer's word only once the signature verifies; until then it is
    // shown as data, escaped.
    std::printf("Signature: key %s, trusted comment \"%s\"\n", c.keyId.c_str(),
        display::utf8(c.trustedComment).toUtf8().constData());
    if (c.verdict == dfulib::SignatureVerdict::Trusted) {
        std::printf("  verifies against %s\n", against);
        return true;
    }
    if (c.verdict == dfulib::SignatureVerdict::UnknownKey) {
        std::printf("  not checked: made by a key that is not among %s%s\n", against,
            trusted.installed() ? "" : " (there are none: the tools write it all the same)");
        return true;
    }
    std::printf("  DOES NOT VERIFY: %s\n", display::utf8(c.detail).toUtf8().constData());
    return false;
}

int info(const QStringList &given)
{
    QStringList args = given;
    QString pubkey;
    const int at = args.indexOf(QStringLiteral("--pubkey"));
    if (at >= 0) {
        if (at + 1 >= args.size())
            return usageError(Usage, QStringLiteral("--pubkey takes KEY.pub"));
        pubkey = args.takeAt(at + 1);
        args.removeAt(at);
    }
    if (args.size() != 1)
        return usageError(Usage, QStringLiteral("info takes FILE"));
    QByteArray file;
    if (!readAll(args[0], file))
        return ExitFailure;

    const auto *bytes = reinterpret_cast<const uint8_t *>(file.constData());
    const size_t size = size_t(file.size());
    std::printf("File: %s (%zu bytes)\n", qPrintable(display::text(args[0])), size);
    if (size < dfulib::FilePrefixSize + dfulib::SuffixSize) {
        std::printf("Not a .dfu file: too short for a prefix and a suffix.\n");
        return ExitFindings;
    }
    // Parsed against the stored CRC, so that a file with a wrong one can still be shown.
    const uint32_t stored = le32(bytes + size - 4);
    const uint32_t computed = dfulib::suffixCrc(bytes, size - 4);
    dfulib::FileView view;
    const DfuStatus parsed = dfulib::parseFile(bytes, size, view, &stored);
    if (parsed != DFU_OK) {
        std::printf("Not a valid .dfu file: %s.\n", DFU_StatusText(parsed));
        return ExitFindings;
    }
    std::printf("Prefix: version %u, image size %u, %u target(s)\n", bytes[5], le32(bytes + 6), bytes[10]);
    bool overlaps = false;
    for (size_t t = 0; t < view.targets.size(); ++t) {
        const dfulib::TargetView &target = view.targets[t];
        uint64_t total = 0;
        for (const dfulib::ElementView &e : target.elements)
            total += e.size;
        // An image name is the file's bytes: shown escaped, so that it cannot fake the lines
        // after it (a signature's, the CRC's).
        std::printf("Target %zu: alternate %u, %s \"%s\", %zu element(s), %llu bytes\n", t, target.alternate,
            target.named ? "name" : "unnamed", display::utf8(target.name).toUtf8().constData(), target.elements.size(),
            static_cast<unsigned long long>(total));
        for (size_t i = 0; i < target.elements.size(); ++i)
            std::printf("  Element %zu: address 0x%08X, %u bytes\n", i, target.elements[i].address,
                        target.elements[i].size);
        dfulib::Overlap overlap;
        if (dfulib::findOverlap(dfulib::spansOf(target), overlap)) {
            std::printf("  Elements %zu and %zu overlap at 0x%08X: the tools refuse to write this image\n",
                        overlap.first, overlap.second, overlap.address);
            overlaps = true;
        }
    }
    std::printf("Suffix: device 0x%04X, product 0x%04X, vendor 0x%04X, DFU 0x%04X\n", view.bcdDevice, view.idProduct,
                view.idVendor, view.bcdDFU);
    const bool signatureSound = showSignature(args[0], file, pubkey);
    if (stored != computed) {
        std::printf("CRC: stored 0x%08X, computed 0x%08X: DAMAGED\n", stored, computed);
        return ExitFindings;
    }
    std::printf("CRC: 0x%08X ok\n", stored);
    return overlaps || !signatureSound ? ExitFindings : ExitOk;
}

// One element argument: ADDRESS:FILE or FILE.hex, appended to `target`.
bool addElements(const QString &arg, dfulib::Target &target)
{
    if (arg.endsWith(QLatin1String(".hex"), Qt::CaseInsensitive) && QFileInfo(arg).isFile()) {
        QByteArray text;
        if (!readAll(arg, text))
            return false;
        std::vector<hex::Segment> segments;
        std::string error;
        if (!hex::parse(text.constData(), size_t(text.size()), segments, error)) {
            printErr(QStringLiteral("%1: %2").arg(arg, QString::fromStdString(error)));
            return false;
        }
        for (hex::Segment &s : segments)
            target.elements.emplace_back(s.address, std::move(s.bytes));
        return true;
    }
    const int colon = arg.indexOf(QLatin1Char(':'));
    quint64 address = 0;
    if (colon <= 0 || !number(arg.left(colon), 0xFFFFFFFFu, address)) {
        printErr(QStringLiteral("element '%1' is neither ADDRESS:FILE nor an Intel HEX file").arg(arg));
        return false;
    }
    QByteArray data;
    if (!readAll(arg.mid(colon + 1), data))
        return false;
    if (quint64(address) + quint64(data.size()) > 0x100000000ull) {
        printErr(QStringLiteral("element '%1' runs past the 32-bit address space").arg(arg));
        return false;
    }
    target.elements.emplace_back(quint32(address), std::vector<uint8_t>(data.begin(), data.end()));
    return true;
}

int pack(const QStringList &args)
{
    if (args.isEmpty())
        return usageError(Usage, QStringLiteral("pack takes OUT and at least one target"));
    const QString out = args[0];
    // A release the packer was not told would read as a real one, and a board holding a newer
    // release would refuse the file as older: no release is declared unless given.
    quint64 ids[3] = {0x1209, 0x2A17, 0xFFFF};
    bool damage = false;
    std::vector<dfulib::Target> targets;
    QStringList inputs;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const int id = a == QLatin1String("--vid") ? 0 : a == QLatin1String("--pid") ? 1 : a == QLatin1String("--release") ? 2 : -1;
        if (id >= 0) {
            if (i + 1 >= args.size() || !number(args.at(i + 1), 0xFFFF, ids[id]))
                return usageError(Usage, QStringLiteral("%1 needs a 16-bit number").arg(a));
            ++i;
        } else if (a == QLatin1String("--damage-crc")) {
            damage = true;
        } else if (a == QLatin1String("--target")) {
            quint64 alternate = 0;
            if (i + 2 >= args.size() || !number(args.at(i + 1), 255, alternate))
                return usageError(Usage, QStringLiteral("--target needs an alternate (0 to 255) and a name"));
            const QByteArray name = args.at(i + 2).toUtf8();
            if (size_t(name.size()) >= dfulib::TargetNameSize)
                return usageError(
                    Usage, QStringLiteral("target name longer than %1 bytes").arg(dfulib::TargetNameSize - 1));
            dfulib::Target target;
            target.alternate = uint8_t(alternate);
            target.name = name.toStdString();
            targets.push_back(std::move(target));
            i += 2;
        } else if (a.startsWith(QLatin1String("--"))) {
            return usageError(Usage, QStringLiteral("unknown option '%1'").arg(a));
        } else if (targets.empty()) {
            return usageError(Usage, QStringLiteral("element '%1' comes before any --target").arg(a));
        } else {
            inputs << a.mid(a.indexOf(QLatin1Char(':')) + 1);
            if (!addElements(a, targets.back()))
                return ExitFailure;
        }
    }
    if (targets.empty())
        return usageError(Usage, QStringLiteral("pack needs at least one --target"));
    for (const QString &input : inputs) {
        if (sameFile(input, out))
            return refuseOverwrite();
    }
    std::vector<uint8_t> bytes;
    const DfuStatus built = dfulib::buildFile(uint16_t(ids[0]), uint16_t(ids[1]), uint16_t(ids[2]), targets, bytes);
    if (built != DFU_OK) {
        printErr(QStringLiteral("cannot build the file: %1").arg(QString::fromLatin1(DFU_StatusText(built))));
        return ExitFailure;
    }
    if (damage)
        bytes.back() ^= 0xFF;
    return writeAll(out, QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()))) ? ExitOk
                                                                                                       : ExitFailure;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef TOLVEX_HERMETIC_KEYS
    // The test build: the trusted keys are the test's own, never the machine's.
    dfulib::setTrustedKeyFoldersFrom(std::getenv("TOLVEX_TEST_TRUSTED_KEYS"));
#endif
    return tool::runCommand(argc, argv, "tolvex-dfu-file", Usage, {{"info", info}, {"pack", pack}});
}
