#include "SignedFile.h"

#include "DfuFileFormat.h"
#include "DisplayText.h"
#include "RegularFile.h"

#include <QCryptographicHash>
#include <QtDebug>

#include <sys/stat.h>

#include <cstring>

QString SignedFile::reason() const
{
    switch (result) {
    case NotDfu: return unreadable.isEmpty() ? QString::fromLatin1(DFU_StatusText(status)) : unreadable;
    case SignatureRefused:
        if (!keyProblems.isEmpty())
            return QStringLiteral("trusted keys are installed but cannot be used, so no file is written until that is "
                                  "mended: %1")
                .arg(keyProblems.join(QStringLiteral("; ")));
        return QStringLiteral("only files signed by a trusted key are written, and this one is not: %1")
            .arg(QString::fromStdString(dfu::verdictText(signature)));
    case Opened: break;
    }
    return signatureText();
}

QString SignedFile::signatureText() const
{
    if (ownBackup)
        return QStringLiteral("not signed; this machine's backup of the board, restored as restore-policy allows");
    const QString key = QString::fromStdString(signature.keyId);
    switch (signature.verdict) {
    case dfu::SignatureVerdict::NoSignature: return QStringLiteral("not signed");
    case dfu::SignatureVerdict::Damaged: return QString::fromStdString(dfu::verdictText(signature));
    case dfu::SignatureVerdict::Trusted:
        return QStringLiteral("signed by key %1 (\"%2\"), trusted").arg(key, display::utf8(signature.trustedComment));
    default: break;
    }
    if (!keysInstalled)
        return QStringLiteral("a signature by key %1, not checked (no trusted keys installed)").arg(key);
    if (!keyProblems.isEmpty())
        return QStringLiteral("a signature by key %1, not checked (the trusted keys cannot be used)").arg(key);
    return QStringLiteral("a signature by key %1, not trusted: %2")
        .arg(key, QString::fromStdString(dfu::verdictText(signature)));
}

SharedDfuFile readDfuFile(const QString &path)
{
    auto f = std::make_shared<DfuFileBytes>();
    f->path = path;
    SignedFile &s = f->check;
    const QByteArray local = path.toLocal8Bit();
    struct stat st;
    if (::stat(local.constData(), &st) == 0) {
        f->sizeRead = st.st_size;
        f->modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    std::string why;
    if (tolvex::readRegularFile(local.constData(), dfu::MaxFileSize, f->bytes, why) != tolvex::ReadResult::Read) {
        s.status = DFU_ERROR_FILE_OPEN;
        s.unreadable = QString::fromLocal8Bit(why.c_str());
        return f;
    }
    f->sha256 = QString::fromLatin1(QCryptographicHash::hash(f->bytes, QCryptographicHash::Sha256).toHex());
    const dfu::TrustedKeys keys = dfu::loadTrustedKeys(dfu::trustedKeyFolders());
    for (const std::string &p : keys.problems) {
        qWarning("Signatures: %s; no file is trusted until that is mended.", p.c_str());
        s.keyProblems << QString::fromLocal8Bit(p.c_str());
    }
    s.keysInstalled = keys.installed();
    const auto *data = reinterpret_cast<const uint8_t *>(f->bytes.constData());
    s.signature = dfu::checkSignatureBeside(local.toStdString(), data, size_t(f->bytes.size()), keys.keys);
    if (s.keysInstalled && (!keys.usable() || s.signature.verdict != dfu::SignatureVerdict::Trusted)) {
        s.result = SignedFile::SignatureRefused;
        return f;
    }
    dfu::File parsed;
    s.status = DFUFILES_OpenDFUFileFromMemory(
        data, uint32_t(f->bytes.size()), parsed.receive(), &s.vendorId, &s.productId, &s.release, &s.imageCount);
    s.result = s.status == DFU_OK ? SignedFile::Opened : SignedFile::NotDfu;
    return f;
}

SharedDfuFile asOwnBackup(const DfuFileBytes &file)
{
    auto f = std::make_shared<DfuFileBytes>(file);
    SignedFile &s = f->check;
    if (s.result != SignedFile::SignatureRefused || !s.keyProblems.isEmpty())
        return f; // keys that cannot be used fail closed, backups too
    dfu::File parsed;
    s.status = DFUFILES_OpenDFUFileFromMemory(reinterpret_cast<const uint8_t *>(f->bytes.constData()),
        uint32_t(f->bytes.size()), parsed.receive(), &s.vendorId, &s.productId, &s.release, &s.imageCount);
    s.result = s.status == DFU_OK ? SignedFile::Opened : SignedFile::NotDfu;
    s.ownBackup = s.result == SignedFile::Opened;
    return f;
}

DfuStatus openDfuBytes(const DfuFileBytes &source, dfu::File &file)
{
    if (source.check.result != SignedFile::Opened)
        return DFU_ERROR_FILE_OPEN;
    uint16_t vendorId = 0, productId = 0, release = 0;
    uint8_t images = 0;
    return DFUFILES_OpenDFUFileFromMemory(reinterpret_cast<const uint8_t *>(source.bytes.constData()),
        uint32_t(source.bytes.size()), file.receive(), &vendorId, &productId, &release, &images);
}

bool DfuFileBytes::changedOnDisk() const
{
    struct stat st;
    if (::stat(path.toLocal8Bit().constData(), &st) != 0)
        return true;
    return st.st_size != sizeRead || qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec != modifiedNs;
}

DfuFileCheck checkDfuFile(const DfuFileBytes &source, const ImageNameList &names)
{
    DfuFileCheck c;
    const QString &file = source.path;
    const SignedFile &opened = source.check;
    c.signature = opened.signatureText();
    c.release = opened.release;
    dfu::File handle;
    if (opened.result != SignedFile::Opened || openDfuBytes(source, handle) != DFU_OK) {
        c.message = QStringLiteral("%1 is refused: %2").arg(file, opened.reason());
        return c;
    }
    dfu::Image first;
    if (opened.imageCount == 0 || DFUFILES_ReadImageFromDFUFile(handle.get(), 0, first.receive()) != DFU_OK) {
        c.message = QStringLiteral("%1 is refused: it holds no image").arg(file);
        return c;
    }
    // What makes a file unwritable is said before any board is touched, not after it went to
    // DFU mode and back: overlapping elements (which bytes would a board get?), and two images
    // for one memory and name whose data differ (which one is meant?).
    dfu::FileView view;
    if (dfu::parseFile(reinterpret_cast<const uint8_t *>(source.bytes.constData()), size_t(source.bytes.size()), view)
        == DFU_OK) {
        for (size_t t = 0; t < view.targets.size(); ++t) {
            const dfu::TargetView &target = view.targets[t];
            dfu::Overlap overlap;
            if (dfu::findOverlap(dfu::spansOf(target), overlap)) {
                c.message = QStringLiteral("%1 is refused: elements %2 and %3 of image %4 overlap at 0x%5")
                                .arg(file)
                                .arg(overlap.first)
                                .arg(overlap.second)
                                .arg(t)
                                .arg(overlap.address, 8, 16, QLatin1Char('0'));
                return c;
            }
            for (size_t u = 0; u < t; ++u) {
                const dfu::TargetView &earlier = view.targets[u];
                if (earlier.alternate != target.alternate || earlier.name != target.name)
                    continue;
                bool same = earlier.elements.size() == target.elements.size();
                for (size_t e = 0; same && e < target.elements.size(); ++e) {
                    const dfu::ElementView &a = earlier.elements[e], &b = target.elements[e];
                    same = a.address == b.address && a.size == b.size && std::memcmp(a.data, b.data, a.size) == 0;
                }
                if (!same) {
                    c.message = QStringLiteral("%1 is refused: images %2 and %3 are both for alternate %4 named "
                                               "\"%5\", with other data; which one is meant cannot be told")
                                    .arg(file)
                                    .arg(u)
                                    .arg(t)
                                    .arg(target.alternate)
                                    .arg(display::utf8(target.name));
                    return c;
                }
            }
        }
    }
    char name[512];
    std::memset(name, 0, sizeof name);
    DFUFILES_GetImageName(first.get(), name);
    const QString imageName = QString::fromLocal8Bit(name);
    for (const QStringList &item : names) {
        if (!item.value(1).isEmpty() && imageNamePermitted(item.value(1), imageName)) {
            c.ok = true;
            return c;
        }
    }
    c.message =
        QStringLiteral("%1 is refused: Config.ini permits its image name \"%2\" for no product").arg(file, imageName);
    return c;
}

QString machineSettingsFolder()
{
    return QString::fromStdString(dfu::machineSettingsFolder());
}
