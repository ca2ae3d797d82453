#include "ConfigCipher.h"

#include "ProcessRandom.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QtDebug>

#include <zlib.h>

namespace {

constexpr int ChecksumSize = 2;
constexpr int HashSize = 20;
// The compressed form (qCompress's: a 4-byte big-endian length, then a zlib stream)
// announces its own length, but a damaged or hostile file may claim little and inflate to
// gigabytes. qUncompress takes the claim as a hint only, so the stream is inflated here
// with a hard cap: configuration texts are tiny.
constexpr qsizetype MaxUncompressedSize = 64 * 1024 * 1024;

bool uncompressBounded(const QByteArray &payload, QByteArray &out)
{
    out.clear();
    if (payload.size() < 4) {
        qWarning("Compressed payload of %lld bytes is too short; treated as damaged.", qlonglong(payload.size()));
        return false;
    }
    const quint32 claimed = (quint32(quint8(payload[0])) << 24) | (quint32(quint8(payload[1])) << 16)
                            | (quint32(quint8(payload[2])) << 8) | quint32(quint8(payload[3]));
    if (claimed > quint32(MaxUncompressedSize)) {
        qWarning("Compressed payload claims %u bytes; treated as damaged.", claimed);
        return false;
    }
    // An empty text is compressed to its length alone, with no stream.
    if (claimed == 0 && payload.size() == 4)
        return true;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(payload.constData() + 4));
    stream.avail_in = uInt(payload.size() - 4);
    char chunk[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        const qsizetype produced = qsizetype(sizeof chunk - stream.avail_out);
        if (out.size() + produced > MaxUncompressedSize) {
            inflateEnd(&stream);
            qWarning("Compressed payload inflates past %lld bytes; treated as damaged.", qlonglong(MaxUncompressedSize));
            out.clear();
            return false;
        }
        out.append(chunk, produced);
        // Input used up before the stream's end: a cut stream.
        if (result == Z_OK && stream.avail_in == 0 && produced == 0)
            result = Z_BUF_ERROR;
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        qWarning("Compressed payload is damaged (zlib %d).", result);
        out.clear();
        return false;
    }
    return true;
}

void seedFromClock()
{
    processRandomSeed(static_cast<unsigned int>(QDateTime::currentMSecsSinceEpoch() & 0xFFFF));
}

quint16 checksumOf(const QByteArray &payload)
{
    return qChecksum(QByteArrayView(payload), Qt::ChecksumIso3309);
}

} // namespace

ConfigCipher::ConfigCipher()
{
    seedFromClock();
}

ConfigCipher::ConfigCipher(quint64 key)
{
    seedFromClock();
    setKey(key);
}

void ConfigCipher::setKey(quint64 newKey)
{
    key = newKey;
    keyBytes.resize(8);
    for (int i = 0; i < 8; ++i)
        keyBytes[i] = static_cast<quint8>(key >> (8 * i));
}

QByteArray ConfigCipher::encryptBytes(const QByteArray &plain)
{
    if (!hasKey()) {
        qWarning("No key set.");
        error = CipherNoKey;
        return {};
    }

    QByteArray payload = plain;
    quint8 flags = 0;
    if (compression == CompressAlways) {
        payload = qCompress(plain, 9);
        flags |= FlagCompressed;
    } else if (compression == CompressAuto) {
        const QByteArray compressed = qCompress(plain, 9);
        if (compressed.size() < plain.size()) {
            payload = compressed;
            flags |= FlagCompressed;
        }
    }

    QByteArray field;
    if (integrity == IntegrityChecksum) {
        flags |= FlagChecksum;
        const quint16 sum = checksumOf(payload);
        field.append(static_cast<char>(sum >> 8));
        field.append(static_cast<char>(sum & 0xFF));
    } else if (integrity == IntegrityHash) {
        flags |= FlagHash;
        field = QCryptographicHash::hash(payload, QCryptographicHash::Sha1);
    }

    QByteArray body;
    body.reserve(1 + field.size() + payload.size());
    body.append(static_cast<char>(processRandom() & 0xFF));
    body.append(field);
    body.append(payload);

    quint8 previous = 0;
    for (qsizetype p = 0; p < body.size(); ++p) {
        const quint8 c = static_cast<quint8>(body[p]) ^ keyBytes[p % 8] ^ previous;
        body[p] = static_cast<char>(c);
        previous = c;
    }

    QByteArray result;
    result.reserve(2 + body.size());
    result.append(static_cast<char>(Version));
    result.append(static_cast<char>(flags));
    result.append(body);
    error = CipherOk;
    return result;
}

QString ConfigCipher::encryptBytesToText(const QByteArray &plain)
{
    return QString::fromLatin1(encryptBytes(plain).toBase64());
}

QByteArray ConfigCipher::encryptTextToBytes(const QString &plain)
{
    return encryptBytes(plain.toUtf8());
}

QString ConfigCipher::encryptTextToText(const QString &plain)
{
    return QString::fromLatin1(encryptBytes(plain.toUtf8()).toBase64());
}

QByteArray ConfigCipher::decryptBytes(const QByteArray &cipher)
{
    if (!hasKey()) {
        qWarning("No key set.");
        error = CipherNoKey;
        return {};
    }
    if (cipher.size() < 3)
        return {};
    if (static_cast<quint8>(cipher[0]) != Version) {
        error = CipherBadVersion;
        qWarning("Invalid version or not a cyphertext.");
        return {};
    }

    const quint8 flags = static_cast<quint8>(cipher[1]);
    QByteArray body = cipher.mid(2);
    quint8 previous = 0;
    for (qsizetype p = 0; p < body.size(); ++p) {
        const quint8 c = static_cast<quint8>(body[p]);
        body[p] = static_cast<char>(c ^ previous ^ keyBytes[p % 8]);
        previous = c;
    }
    body.remove(0, 1);

    if (flags & FlagChecksum) {
        if (body.size() < ChecksumSize) {
            error = CipherIntegrityFailed;
            return {};
        }
        const quint16 stored = static_cast<quint16>((static_cast<quint8>(body[0]) << 8) | static_cast<quint8>(body[1]));
        body.remove(0, ChecksumSize);
        if (stored != checksumOf(body)) {
            error = CipherIntegrityFailed;
            return {};
        }
    } else if (flags & FlagHash) {
        if (body.size() < HashSize) {
            error = CipherIntegrityFailed;
            return {};
        }
        const QByteArray stored = body.left(HashSize);
        body.remove(0, HashSize);
        if (stored != QCryptographicHash::hash(body, QCryptographicHash::Sha1)) {
            error = CipherIntegrityFailed;
            return {};
        }
    }

    if (!(flags & FlagCompressed)) {
        error = CipherOk;
        return body;
    }
    QByteArray result;
    error = uncompressBounded(body, result) ? CipherOk : CipherDamaged;
    return result;
}

QString ConfigCipher::decryptBytesToText(const QByteArray &cipher)
{
    return QString::fromUtf8(decryptBytes(cipher));
}

QByteArray ConfigCipher::decryptTextToBytes(const QString &cipherBase64)
{
    return decryptBytes(QByteArray::fromBase64(cipherBase64.toLatin1()));
}

QString ConfigCipher::decryptTextToText(const QString &cipherBase64)
{
    return QString::fromUtf8(decryptTextToBytes(cipherBase64));
}
