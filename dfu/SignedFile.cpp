#include "SignedFile.h"

#include "DfuFileFormat.h"
#include "DisplayText.h"
#include "RegularFile.h"

#include <QtDebug>

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

SignedFile openSignedDfuFile(const QString &path, dfu::File &file)
{
    SignedFile s;
    const QByteArray local = path.toLocal8Bit();
    QByteArray bytes;
    std::string why;
    if (tolvex::readRegularFile(local.constData(), dfu::MaxFileSize, bytes, why) != tolvex::ReadResult::Read) {
        s.status = DFU_ERROR_FILE_OPEN;
        s.unreadable = QString::fromLocal8Bit(why.c_str());
        return s;
    }
    const dfu::TrustedKeys keys = dfu::loadTrustedKeys(dfu::trustedKeyFolders());
    for (const std::string &p : keys.problems) {
        qWarning("Signatures: %s; no file is trusted until that is mended.", p.c_str());
        s.keyProblems << QString::fromLocal8Bit(p.c_str());
    }
    s.keysInstalled = keys.installed();
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    s.signature = dfu::checkSignatureBeside(local.toStdString(), data, size_t(bytes.size()), keys.keys);
    if (s.keysInstalled && (!keys.usable() || s.signature.verdict != dfu::SignatureVerdict::Trusted)) {
        s.result = SignedFile::SignatureRefused;
        return s;
    }
    s.status = DFUFILES_OpenDFUFileFromMemory(data, uint32_t(bytes.size()), file.receive(), &s.vendorId, &s.productId,
                                              &s.release, &s.imageCount);
    s.result = s.status == DFU_OK ? SignedFile::Opened : SignedFile::NotDfu;
    return s;
}

DfuFileCheck checkDfuFile(const QString &file, const ImageNameList &names)
{
    DfuFileCheck c;
    dfu::File handle;
    const SignedFile opened = openSignedDfuFile(file, handle);
    c.signature = opened.signatureText();
    c.release = opened.release;
    if (opened.result != SignedFile::Opened) {
        c.message = QStringLiteral("%1 is refused: %2").arg(file, opened.reason());
        return c;
    }
    dfu::Image first;
    if (opened.imageCount == 0 || DFUFILES_ReadImageFromDFUFile(handle.get(), 0, first.receive()) != DFU_OK) {
        c.message = QStringLiteral("%1 is refused: it holds no image").arg(file);
        return c;
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
