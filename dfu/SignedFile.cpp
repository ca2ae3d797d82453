#include "SignedFile.h"
#include "SignedFile_p.h"

#include "DfuFileFormat.h"
#include "FileSignature.h"
#include "DisplayText.h"
#include "RegularFile.h"

#include <QCryptographicHash>
#include <QtDebug>

#include <sys/stat.h>

#include <cstring>

QString SignedFile::reason() const
{
    switch (result) {
    case NotDfu: return unreadable.isEmpty() ? notDfu : unreadable;
    case SignatureRefused:
        if (!keyProblems.isEmpty())
            return QStringLiteral("trusted keys are installed but cannot be used, so no file is written until that is "
                                  "mended: %1")
                .arg(keyProblems.join(QStringLiteral("; ")));
        return QStringLiteral("only files signed by a trusted key are written, and this one is not: %1")
            .arg(signatureVerdict);
    case Opened: break;
    }
    return signatureText();
}

QString SignedFile::signatureText() const
{
    if (ownBackup)
        return QStringLiteral("not signed; this machine's backup of the board, restored as restore-policy allows");
    const QString &key = signatureKey;
    switch (signature) {
    case Signature::None: return QStringLiteral("not signed");
    case Signature::Damaged: return signatureVerdict;
    case Signature::Trusted: return QStringLiteral("signed by key %1 (\"%2\"), trusted").arg(key, signatureComment);
    case Signature::Other: break;
    }
    if (!keysInstalled)
        return QStringLiteral("a signature by key %1, not checked (no trusted keys installed)").arg(key);
    if (!keyProblems.isEmpty())
        return QStringLiteral("a signature by key %1, not checked (the trusted keys cannot be used)").arg(key);
    return QStringLiteral("a signature by key %1, not trusted: %2").arg(key, signatureVerdict);
}

namespace {

// The bytes parsed, with their suffix's ids and image count: Opened, or NotDfu and why.
void parse(DfuFileBytes &f)
{
    SignedFile &s = f.check;
    dfulib::File parsed;
    const DfuStatus status = DFUFILES_OpenDFUFileFromMemory(reinterpret_cast<const uint8_t *>(f.bytes.constData()),
        uint32_t(f.bytes.size()), parsed.receive(), &s.vendorId, &s.productId, &s.release, &s.imageCount);
    s.result = status == DFU_OK ? SignedFile::Opened : SignedFile::NotDfu;
    s.notDfu = status == DFU_OK ? QString() : QString::fromLatin1(DFU_StatusText(status));
}

} // namespace

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
    if (tolvex::readRegularFile(local.constData(), dfulib::MaxFileSize, f->bytes, why) != tolvex::ReadResult::Read) {
        s.notDfu = QString::fromLatin1(DFU_StatusText(DFU_ERROR_FILE_OPEN));
        s.unreadable = QString::fromLocal8Bit(why.c_str());
        return f;
    }
    f->sha256 = QString::fromLatin1(QCryptographicHash::hash(f->bytes, QCryptographicHash::Sha256).toHex());
    const dfulib::TrustedKeys keys = dfulib::loadTrustedKeys(dfulib::trustedKeyFolders());
    for (const std::string &p : keys.problems) {
        qWarning("Signatures: %s; no file is trusted until that is mended.", p.c_str());
        s.keyProblems << QString::fromLocal8Bit(p.c_str());
    }
    s.keysInstalled = keys.installed();
    const auto *data = reinterpret_cast<const uint8_t *>(f->bytes.constData());
    const dfulib::SignatureCheck signature =
        dfulib::checkSignatureBeside(local.toStdString(), data, size_t(f->bytes.size()), keys.keys);
    s.signature = signature.verdict == dfulib::SignatureVerdict::NoSignature ? SignedFile::Signature::None
                  : signature.verdict == dfulib::SignatureVerdict::Damaged   ? SignedFile::Signature::Damaged
                  : signature.verdict == dfulib::SignatureVerdict::Trusted   ? SignedFile::Signature::Trusted
                                                                             : SignedFile::Signature::Other;
    s.signatureKey = QString::fromStdString(signature.keyId);
    s.signatureComment = display::utf8(signature.trustedComment);
    s.signatureVerdict = QString::fromStdString(dfulib::verdictText(signature));
    if (s.keysInstalled && (!keys.usable() || s.signature != SignedFile::Signature::Trusted)) {
        s.result = SignedFile::SignatureRefused;
        return f;
    }
    parse(*f);
    return f;
}

SharedDfuFile asOwnBackup(const DfuFileBytes &file)
{
    auto f = std::make_shared<DfuFileBytes>(file);
    SignedFile &s = f->check;
    if (s.result != SignedFile::SignatureRefused || !s.keyProblems.isEmpty())
        return f; // keys that cannot be used fail closed, backups too
    parse(*f);
    s.ownBackup = s.result == SignedFile::Opened;
    return f;
}

DfuStatus openDfuBytes(const DfuFileBytes &source, dfulib::File &file)
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
    dfulib::File handle;
    if (opened.result != SignedFile::Opened || openDfuBytes(source, handle) != DFU_OK) {
        c.outcome = Outcome::refused(QStringLiteral("%1 is refused: %2").arg(file, opened.reason()));
        return c;
    }
    dfulib::Image first;
    if (opened.imageCount == 0 || DFUFILES_ReadImageFromDFUFile(handle.get(), 0, first.receive()) != DFU_OK) {
        c.outcome = Outcome::refused(QStringLiteral("%1 is refused: it holds no image").arg(file));
        return c;
    }
    // What makes a file unwritable is said before any board is touched, not after it went to
    // DFU mode and back: overlapping elements (which bytes would a board get?), and two images
    // for one memory and name whose data differ (which one is meant?).
    dfulib::FileView view;
    if (dfulib::parseFile(
            reinterpret_cast<const uint8_t *>(source.bytes.constData()), size_t(source.bytes.size()), view)
        == DFU_OK) {
        for (size_t t = 0; t < view.targets.size(); ++t) {
            const dfulib::TargetView &target = view.targets[t];
            dfulib::Overlap overlap;
            if (dfulib::findOverlap(dfulib::spansOf(target), overlap)) {
                c.outcome =
                    Outcome::refused(QStringLiteral("%1 is refused: elements %2 and %3 of image %4 overlap at 0x%5")
                                         .arg(file)
                                         .arg(overlap.first)
                                         .arg(overlap.second)
                                         .arg(t)
                                         .arg(overlap.address, 8, 16, QLatin1Char('0')));
                return c;
            }
            for (size_t u = 0; u < t; ++u) {
                const dfulib::TargetView &earlier = view.targets[u];
                if (earlier.alternate != target.alternate || earlier.name != target.name)
                    continue;
                bool same = earlier.elements.size() == target.elements.size();
                for (size_t e = 0; same && e < target.elements.size(); ++e) {
                    const dfulib::ElementView &a = earlier.elements[e], &b = target.elements[e];
                    same = a.address == b.address && a.size == b.size && std::memcmp(a.data, b.data, a.size) == 0;
                }
                if (!same) {
                    c.outcome = Outcome::refused(
                        QStringLiteral("%1 is refused: images %2 and %3 are both for alternate %4 named "
                                       "\"%5\", with other data; which one is meant cannot be told")
                            .arg(file)
                            .arg(u)
                            .arg(t)
                            .arg(target.alternate)
                            .arg(display::utf8(target.name)));
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
        if (!item.value(1).isEmpty() && imageNamePermitted(item.value(1), imageName))
            return c;
    }
    c.outcome = Outcome::refused(
        QStringLiteral("%1 is refused: Config.ini permits its image name \"%2\" for no product").arg(file, imageName));
    return c;
}

QString machineSettingsFolder()
{
    return QString::fromStdString(dfulib::machineSettingsFolder());
}

void setTrustedKeyFoldersFrom(const char *list)
{
    dfulib::setTrustedKeyFoldersFrom(list);
}

RestorePolicy loadRestorePolicy()
{
    const dfulib::RestoreSetting setting = dfulib::loadRestorePolicy();
    RestorePolicy p;
    p.ownBackups = setting.policy == dfulib::RestorePolicy::OwnBackups;
    p.path = QString::fromStdString(setting.path);
    if (!setting.problem.empty())
        p.taken = Outcome::refused(QString::fromStdString(setting.problem));
    return p;
}
