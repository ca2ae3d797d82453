#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// A small symmetric cipher for the configuration file. Cipher text: a version byte
// (always 3), a flags byte, then a body XOR-chained with the eight key bytes. The
// body holds one random byte, an optional integrity field (16-bit checksum or SHA-1
// digest) and the payload, optionally compressed.
//
// A plain value object; not shared between threads. Results are empty on failure,
// and lastError() tells the outcome of the last call.
class ConfigCipher
{
public:
    enum CompressionMode : qint32 { CompressAuto = 0, CompressAlways = 1, CompressNever = 2 };
    enum IntegrityMode : qint32 { IntegrityNone = 0, IntegrityChecksum = 1, IntegrityHash = 2 };
    enum CipherError : qint32 {
        CipherOk = 0,
        CipherNoKey = 1,
        CipherBadVersion = 2,
        CipherIntegrityFailed = 3,
        // The compressed payload does not inflate, or inflates past 64 MiB.
        CipherDamaged = 4,
    };
    enum Flag : quint8 { FlagCompressed = 0x01, FlagChecksum = 0x02, FlagHash = 0x04 };
    static constexpr quint8 Version = 3;

    // Both seed the process-wide random generator; without a key nothing can be
    // encrypted or decrypted until setKey() is called.
    ConfigCipher();
    explicit ConfigCipher(quint64 key);

    void setKey(quint64 key);
    bool hasKey() const { return !keyBytes.isEmpty(); }

    void setCompressionMode(CompressionMode mode) { compression = mode; }
    CompressionMode compressionMode() const { return compression; }
    void setIntegrityMode(IntegrityMode mode) { integrity = mode; }
    IntegrityMode integrityMode() const { return integrity; }
    CipherError lastError() const { return error; }

    QByteArray encryptBytes(const QByteArray &plain);
    QString encryptBytesToText(const QByteArray &plain);
    QByteArray encryptTextToBytes(const QString &plain);
    QString encryptTextToText(const QString &plain);

    // Input shorter than 3 bytes yields empty bytes and leaves lastError() as it was.
    QByteArray decryptBytes(const QByteArray &cipher);
    QString decryptBytesToText(const QByteArray &cipher);
    QByteArray decryptTextToBytes(const QString &cipherBase64);
    QString decryptTextToText(const QString &cipherBase64);

private:
    quint64 key = 0;
    QVector<quint8> keyBytes;
    CompressionMode compression = CompressAuto;
    IntegrityMode integrity = IntegrityChecksum;
    CipherError error = CipherOk;
};
