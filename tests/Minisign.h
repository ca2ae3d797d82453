#pragma once

// Keys and signatures in minisign's file format, made with libsodium in the test itself.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sodium.h>

#include <cstring>

struct TestKey
{
    unsigned char keyId[8];
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];

    TestKey()
    {
        if (sodium_init() < 0)
            std::memset(keyId, 0, sizeof keyId);
        crypto_sign_keypair(publicKey, secretKey);
        randombytes_buf(keyId, sizeof keyId);
    }

    // The public key file.
    QByteArray publicFile() const
    {
        const QByteArray body = QByteArray("Ed") + QByteArray(reinterpret_cast<const char *>(keyId), 8)
                                + QByteArray(reinterpret_cast<const char *>(publicKey), sizeof publicKey);
        return "untrusted comment: minisign public key\n" + body.toBase64() + "\n";
    }

    // A signature file for `data`: prehashed ("ED") or legacy ("Ed").
    QByteArray sign(const QByteArray &data, bool prehashed, const QByteArray &trustedComment = "timestamp:1 file:fw.dfu") const
    {
        unsigned char signature[crypto_sign_BYTES];
        if (prehashed) {
            unsigned char hash[crypto_generichash_BYTES_MAX];
            crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char *>(data.constData()),
                               size_t(data.size()), nullptr, 0);
            crypto_sign_detached(signature, nullptr, hash, sizeof hash, secretKey);
        } else {
            crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char *>(data.constData()),
                                 size_t(data.size()), secretKey);
        }
        const QByteArray sig(reinterpret_cast<const char *>(signature), sizeof signature);
        const QByteArray global = sig + trustedComment;
        unsigned char globalSignature[crypto_sign_BYTES];
        crypto_sign_detached(globalSignature, nullptr, reinterpret_cast<const unsigned char *>(global.constData()),
                             size_t(global.size()), secretKey);
        const QByteArray line = QByteArray(prehashed ? "ED" : "Ed") + QByteArray(reinterpret_cast<const char *>(keyId), 8) + sig;
        return "untrusted comment: signature from a test key\n" + line.toBase64() + "\ntrusted comment: " + trustedComment
               + "\n" + QByteArray(reinterpret_cast<const char *>(globalSignature), sizeof globalSignature).toBase64()
               + "\n";
    }
};

// How a test signs its file: the cases both front ends are checked with.
namespace signing {
enum Signing { NoKeysUnsigned, Trusted, TrustedLegacy, UnknownKey, OtherFile, ByteChanged, KeysButUnsigned };
}

// Writes PATH.minisig as `signing` says (by `maker`, or by `stranger` for an unknown key), and
// for ByteChanged changes a byte of the file after signing it. False if a file cannot be written.
inline bool signFileAs(signing::Signing how, const TestKey &maker, const TestKey &stranger, const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = f.readAll();
    QByteArray signature;
    using namespace signing;
    switch (how) {
    case Trusted: signature = maker.sign(bytes, true); break;
    case TrustedLegacy: signature = maker.sign(bytes, false); break;
    case UnknownKey: signature = stranger.sign(bytes, true); break;
    case OtherFile: signature = maker.sign(bytes + "!", true); break;
    case ByteChanged:
        signature = maker.sign(bytes, true);
        bytes[300] = char(bytes[300] ^ 0x08);
        if (!f.seek(0) || f.write(bytes) != bytes.size())
            return false;
        break;
    default: return true;
    }
    QFile sig(path + QStringLiteral(".minisig"));
    return sig.open(QIODevice::WriteOnly) && sig.write(signature) == signature.size();
}
