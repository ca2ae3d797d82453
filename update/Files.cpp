#include "Files.h"

#include "ConfigCipher.h"
#include "SignedFile.h"

#include <QFile>

#include <cstring>

namespace update {

bool loadConfiguration(const QString &path, ImageNameList &names, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    ConfigCipher cipher(ConfigurationKey);
    const QString text = cipher.decryptBytesToText(file.readAll());
    if (cipher.lastError() != ConfigCipher::CipherOk) {
        error = QStringLiteral("%1 does not decrypt: it is damaged or not a Config.ini").arg(path);
        return false;
    }
    names = splitConfigurationText(text);
    return true;
}

bool openDfuFile(const QString &path, dfu::File &file, DfuFileInfo &info, QString &error)
{
    const SignedFile opened = openSignedDfuFile(path, file);
    info.vendorId = opened.vendorId;
    info.productId = opened.productId;
    info.imageCount = opened.imageCount;
    info.signature = opened.signatureText();
    if (opened.result != SignedFile::Opened)
        error = opened.reason();
    return opened.result == SignedFile::Opened;
}

FileCheck checkFile(const QString &file, const ImageNameList &names)
{
    FileCheck c;
    dfu::File handle;
    DfuFileInfo info;
    QString why;
    const bool opened = openDfuFile(file, handle, info, why);
    c.signature = info.signature;
    if (!opened) {
        c.message = QStringLiteral("%1 is refused: %2").arg(file, why);
        return c;
    }
    dfu::Image first;
    if (info.imageCount == 0 || DFUFILES_ReadImageFromDFUFile(handle.get(), 0, first.receive()) != DFU_OK) {
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
    c.message = QStringLiteral("%1 is refused: Config.ini permits its image name \"%2\" for no product").arg(file, imageName);
    return c;
}

} // namespace update
