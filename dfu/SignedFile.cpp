#include "SignedFile.h"

#include "DfuFileFormat.h"

#include <QFile>

#include <cstring>

QString SignedFile::reason() const
{
    switch (result) {
    case NotDfu: return QString::fromLatin1(DFU_StatusText(status));
    case SignatureRefused:
        return QStringLiteral("only files signed by a trusted key are written, and this one is not: %1")
            .arg(QString::fromStdString(dfu::verdictText(signature)));
    case Opened: break;
    }
    return signatureText();
}

QString SignedFile::signatureText() const
{
    if (signature.verdict == dfu::SignatureVerdict::NoSignature)
        return QStringLiteral("not signed");
    if (signature.verdict == dfu::SignatureVerdict::Damaged)
        return QString::fromStdString(dfu::verdictText(signature));
    QString text = QStringLiteral("signed by key %1 (\"%2\")")
                       .arg(QString::fromStdString(signature.keyId), QString::fromStdString(signature.trustedComment));
    if (signature.verdict == dfu::SignatureVerdict::Trusted)
        return text + QStringLiteral(", trusted");
    if (!keysInstalled)
        return text + QStringLiteral(", no trusted keys installed");
    return text + QStringLiteral(": ") + QString::fromStdString(dfu::verdictText(signature));
}

SignedFile openSignedDfuFile(const QString &path, dfu::File &file)
{
    SignedFile s;
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly)) {
        s.status = DFU_ERROR_FILE_OPEN;
        return s;
    }
    if (uint64_t(source.size()) > dfu::MaxFileSize) {
        s.status = DFU_ERROR_FILE_TOO_LARGE;
        return s;
    }
    const QByteArray bytes = source.readAll();
    std::string signatureText;
    bool tooLarge = false;
    const std::string signaturePath = (path + QStringLiteral(".minisig")).toLocal8Bit().toStdString();
    const bool present = dfu::readSmallFile(signaturePath, dfu::MaxSignatureFileSize, signatureText, tooLarge);
    std::vector<std::string> problems;
    const std::vector<dfu::MinisignKey> keys = dfu::loadTrustedKeys(dfu::trustedKeyFolders(), &problems);
    for (const std::string &p : problems)
        qWarning("Signatures: %s is no minisign public key and is not trusted.", p.c_str());
    s.keysInstalled = !keys.empty();
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    if (tooLarge) {
        s.signature.verdict = dfu::SignatureVerdict::Damaged;
        s.signature.detail = "the signature file is too large";
    } else {
        s.signature = dfu::checkSignature(data, size_t(bytes.size()), present, signatureText, keys);
    }
    if (s.keysInstalled && s.signature.verdict != dfu::SignatureVerdict::Trusted) {
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
