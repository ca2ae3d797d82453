// Config.ini bytes: decryption under the configuration key (all flag combinations,
// damaged integrity fields, forged compressed lengths), then the line/field split.

#include "ConfigCipher.h"
#include "ConfigFile.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    ConfigCipher cipher(ConfigurationKey);
    const QString text = cipher.decryptBytesToText(bytes);
    const ImageNameList list = splitConfigurationText(text);

    // Every complete line becomes exactly one item.
    if (list.size() != text.count(QLatin1Char('\n')))
        std::abort();
    imageNameListDebugText(list);

    // Whatever decrypted must survive a round trip through the cipher.
    if (cipher.lastError() == ConfigCipher::CipherOk && size >= 3) {
        const QByteArray plain = cipher.decryptBytes(bytes);
        if (cipher.decryptBytes(cipher.encryptBytes(plain)) != plain)
            std::abort();
    }
    return 0;
}
