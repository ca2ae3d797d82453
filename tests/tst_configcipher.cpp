// The configuration cipher against byte vectors computed independently of this code.

#include "ConfigCipher.h"

#include <QCryptographicHash>
#include <QTest>

namespace {
constexpr quint64 TestKey = 0x1122334455667788ull;
QByteArray hex(const char *text) { return QByteArray::fromHex(text); }
}

class TestConfigCipher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decryptsKnownVectors_data();
    void decryptsKnownVectors();
    void keyByteOrderMatters();
    void encryptedLayoutFollowsModes_data();
    void encryptedLayoutFollowsModes();
    void emptyInputGivesFiveBytes();
    void sameTextSameHeader();
    void refusesOtherVersions_data();
    void refusesOtherVersions();
    void shortInputKeepsLastError();
    void integrityFailures_data();
    void integrityFailures();
    void wrongKeyWithoutIntegrityGivesScrambledBytes();
    void noKey();
    void textForms();
    void refusesDamagedCompression_data();
    void refusesDamagedCompression();
};

void TestConfigCipher::decryptsKnownVectors_data()
{
    QTest::addColumn<QByteArray>("cipherText");
    QTest::addColumn<QByteArray>("plain");
    // Body of nine bytes: the ninth is combined with the least significant key byte again.
    QTest::newRow("no integrity") << hex("0300d2cdcef7df8380b007") << QByteArray("hello!!?");
    QTest::newRow("checksum") << hex("03024b10a3b79fdc96e6427a72420c") << QByteArray("Alpha,One\n");
    QTest::newRow("sha-1") << hex("030489c914790ba5a46240ec35bee519783c08d0c88c67155b3adacc869cb6e0c8")
                           << QByteArray("Alpha,One\n");
    QTest::newRow("compressed with checksum")
        << hex("0303f719a1f4b08369005256fc800c778161261a99bee607091801d9ff73")
        << QByteArray("Alpha,One\n").repeated(20);
    // Both integrity bits: only the checksum is compared, no digest is present.
    QTest::newRow("checksum and hash bits") << hex("030699c271654d0e443490a8a090de") << QByteArray("Alpha,One\n");
    // Unknown flag bits change nothing.
    QTest::newRow("extra flag bits") << hex("03f8d2cdcef7df8380b007") << QByteArray("hello!!?");
}

void TestConfigCipher::decryptsKnownVectors()
{
    QFETCH(QByteArray, cipherText);
    QFETCH(QByteArray, plain);
    ConfigCipher cipher(TestKey);
    QCOMPARE(cipher.decryptBytes(cipherText), plain);
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherOk);
}

void TestConfigCipher::keyByteOrderMatters()
{
    // The same vector under the byte-reversed key must not give the plain text back.
    ConfigCipher reversed(0x8877665544332211ull);
    QVERIFY(reversed.decryptBytes(hex("0300d2cdcef7df8380b007")) != QByteArray("hello!!?"));

    // Cipher byte p of the body is plain ^ key[p % 8] ^ previous cipher byte: flip a
    // single key byte and exactly the body positions 7 and 15 of the first output change.
    const QByteArray plain(17, 'x');
    ConfigCipher a(TestKey);
    a.setCompressionMode(ConfigCipher::CompressNever);
    a.setIntegrityMode(ConfigCipher::IntegrityNone);
    const QByteArray c = a.encryptBytes(plain);
    ConfigCipher msbFlipped(TestKey ^ 0xFF00000000000000ull);
    const QByteArray d = msbFlipped.decryptBytes(c);
    QCOMPARE(d.size(), plain.size());
    for (int i = 0; i < d.size(); ++i) {
        // Decrypted index i is body position i + 1 (after the random byte).
        const bool touched = (i + 1) % 8 == 7;
        QCOMPARE(d[i] != 'x', touched);
    }
}

void TestConfigCipher::encryptedLayoutFollowsModes_data()
{
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("integrity");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<int>("flags");
    const QByteArray shortText("Beta,Two\n");
    const QByteArray longText = QByteArray("Gamma,fw_gamma\n").repeated(50);
    QTest::newRow("auto, short stays plain") << int(ConfigCipher::CompressAuto) << int(ConfigCipher::IntegrityChecksum)
                                             << shortText << 0x02;
    QTest::newRow("auto, long compresses") << int(ConfigCipher::CompressAuto) << int(ConfigCipher::IntegrityChecksum)
                                           << longText << 0x03;
    QTest::newRow("always, hash") << int(ConfigCipher::CompressAlways) << int(ConfigCipher::IntegrityHash) << shortText
                                  << 0x05;
    QTest::newRow("never, none") << int(ConfigCipher::CompressNever) << int(ConfigCipher::IntegrityNone) << longText
                                 << 0x00;
}

void TestConfigCipher::encryptedLayoutFollowsModes()
{
    QFETCH(int, compression);
    QFETCH(int, integrity);
    QFETCH(QByteArray, plain);
    QFETCH(int, flags);
    ConfigCipher cipher(TestKey);
    cipher.setCompressionMode(ConfigCipher::CompressionMode(compression));
    cipher.setIntegrityMode(ConfigCipher::IntegrityMode(integrity));
    const QByteArray c = cipher.encryptBytes(plain);
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherOk);
    QCOMPARE(quint8(c[0]), quint8(3));
    QCOMPARE(int(quint8(c[1])), flags);
    const QByteArray payload = (flags & 0x01) ? qCompress(plain, 9) : plain;
    const int field = (flags & 0x02) ? 2 : (flags & 0x04) ? 20 : 0;
    QCOMPARE(c.size(), 2 + 1 + field + payload.size());

    ConfigCipher reader(TestKey);
    reader.setCompressionMode(ConfigCipher::CompressNever); // decryption follows the flags
    reader.setIntegrityMode(ConfigCipher::IntegrityNone);
    QCOMPARE(reader.decryptBytes(c), plain);
    QCOMPARE(reader.lastError(), ConfigCipher::CipherOk);
}

void TestConfigCipher::emptyInputGivesFiveBytes()
{
    ConfigCipher cipher(TestKey);
    const QByteArray c = cipher.encryptBytes(QByteArray());
    QCOMPARE(c.size(), 5);
    QCOMPARE(quint8(c[0]), quint8(3));
    QCOMPARE(quint8(c[1]), quint8(0x02));
    const QByteArray plain = cipher.decryptBytes(c);
    QVERIFY(plain.isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherOk);
}

void TestConfigCipher::sameTextSameHeader()
{
    ConfigCipher cipher(TestKey);
    const QByteArray a = cipher.encryptBytes("Alpha,One\n");
    const QByteArray b = cipher.encryptBytes("Alpha,One\n");
    QCOMPARE(a.left(2), b.left(2));
    QCOMPARE(a.size(), b.size());
    QCOMPARE(cipher.decryptBytes(a), cipher.decryptBytes(b));
    // The random byte is carried through the chain: if it differs, every body byte differs.
    if (a[2] != b[2]) {
        for (int i = 2; i < a.size(); ++i)
            QVERIFY(a[i] != b[i]);
    }
}

void TestConfigCipher::refusesOtherVersions_data()
{
    QTest::addColumn<QByteArray>("cipherText");
    QTest::newRow("version 2") << hex("0200d2cdcef7df8380b007");
    QTest::newRow("version 4") << hex("0400d2cdcef7df8380b007");
    QTest::newRow("plain text") << QByteArray("Alpha,One\n");
}

void TestConfigCipher::refusesOtherVersions()
{
    QFETCH(QByteArray, cipherText);
    ConfigCipher cipher(TestKey);
    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    QVERIFY(cipher.decryptBytes(cipherText).isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherBadVersion);
}

void TestConfigCipher::shortInputKeepsLastError()
{
    ConfigCipher cipher(TestKey);
    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    cipher.decryptBytes(hex("020000"));
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherBadVersion);
    for (const QByteArray &input : {QByteArray(), hex("03"), hex("0300")}) {
        QVERIFY(cipher.decryptBytes(input).isEmpty());
        QCOMPARE(cipher.lastError(), ConfigCipher::CipherBadVersion);
    }
    cipher.decryptBytes(hex("0300d2cdcef7df8380b007"));
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherOk);
    QVERIFY(cipher.decryptBytes(hex("0300")).isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherOk);
}

void TestConfigCipher::integrityFailures_data()
{
    QTest::addColumn<quint64>("key");
    QTest::addColumn<QByteArray>("cipherText");
    QTest::newRow("wrong key, checksum") << quint64(TestKey + 1) << hex("03024b10a3b79fdc96e6427a72420c");
    QTest::newRow("wrong key, hash")
        << quint64(0) << hex("030489c914790ba5a46240ec35bee519783c08d0c88c67155b3adacc869cb6e0c8");
    QTest::newRow("damaged payload") << TestKey << hex("03024b10a3b79fdc96e6427a72420d");
    QTest::newRow("checksum field cut short") << TestKey << hex("0302aabb");
    QTest::newRow("digest cut short") << TestKey << hex("030489c914790ba5a46240ec35bee519783c08");
}

void TestConfigCipher::integrityFailures()
{
    QFETCH(quint64, key);
    QFETCH(QByteArray, cipherText);
    ConfigCipher cipher(key);
    QVERIFY(cipher.decryptBytes(cipherText).isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherIntegrityFailed);
}

void TestConfigCipher::wrongKeyWithoutIntegrityGivesScrambledBytes()
{
    ConfigCipher cipher(TestKey ^ 1);
    const QByteArray plain = cipher.decryptBytes(hex("0300d2cdcef7df8380b007"));
    QCOMPARE(plain.size(), 8);
    QVERIFY(plain != QByteArray("hello!!?"));
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherOk);
}

void TestConfigCipher::noKey()
{
    ConfigCipher cipher;
    QVERIFY(!cipher.hasKey());
    QTest::ignoreMessage(QtWarningMsg, "No key set.");
    QVERIFY(cipher.encryptBytes("x").isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherNoKey);
    QTest::ignoreMessage(QtWarningMsg, "No key set.");
    QVERIFY(cipher.decryptBytes(hex("0300d2cdcef7df8380b007")).isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherNoKey);

    // A key of zero is a key.
    cipher.setKey(0);
    QVERIFY(cipher.hasKey());
    QCOMPARE(cipher.decryptBytes(cipher.encryptBytes("zero")), QByteArray("zero"));
}

void TestConfigCipher::textForms()
{
    ConfigCipher cipher(TestKey);
    const QString text = QStringLiteral("Ærø,Motörhead\n");
    const QString base64 = cipher.encryptTextToText(text);
    QCOMPARE(cipher.decryptTextToText(base64), text);
    QCOMPARE(cipher.decryptTextToBytes(base64), text.toUtf8());
    QCOMPARE(cipher.decryptBytesToText(cipher.encryptTextToBytes(text)), text);
    const QString fromBytes = cipher.encryptBytesToText(text.toUtf8());
    QCOMPARE(cipher.decryptBytes(QByteArray::fromBase64(fromBytes.toLatin1())), text.toUtf8());
}

void TestConfigCipher::refusesDamagedCompression_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("warning");
    // A payload that claims 4 GiB - 1 bytes must not make us allocate it.
    QByteArray huge = qCompress(QByteArray("tiny"), 9);
    huge[0] = huge[1] = huge[2] = huge[3] = char(0xFF);
    QTest::newRow("claims 4 GiB") << huge << "claims 4294967295 bytes";
    // A small claim does not bound the stream behind it: a bomb is stopped at 64 MiB.
    QByteArray bomb = qCompress(QByteArray(64 * 1024 * 1024 + 1, 'A'), 9);
    bomb[0] = bomb[1] = bomb[2] = char(0);
    bomb[3] = char(16);
    QTest::newRow("inflates past 64 MiB") << bomb << "inflates past 67108864 bytes";
    const QByteArray whole = qCompress(QByteArray("Alpha,One\nBeta,Two\n"), 9);
    QTest::newRow("stream cut short") << whole.left(whole.size() - 6) << "is damaged";
    QTest::newRow("length alone") << QByteArray("\0\0\0", 3) << "too short";
}

void TestConfigCipher::refusesDamagedCompression()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, warning);
    // The body is built and chained by hand: random byte, digest, forged payload.
    const QByteArray digest = QCryptographicHash::hash(payload, QCryptographicHash::Sha1);
    QByteArray body = QByteArray(1, '\0') + digest + payload;
    const quint8 key[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    quint8 prev = 0;
    for (int p = 0; p < body.size(); ++p) {
        body[p] = char(quint8(body[p]) ^ key[p % 8] ^ prev);
        prev = quint8(body[p]);
    }
    const QByteArray c = QByteArray("\x03\x05", 2) + body;
    ConfigCipher cipher(TestKey);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    QVERIFY(cipher.decryptBytes(c).isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherDamaged);

    // What compresses to the length alone, the empty text, is no damage.
    cipher.setCompressionMode(ConfigCipher::CompressAlways);
    QVERIFY(cipher.decryptBytes(cipher.encryptBytes(QByteArray())).isEmpty());
    QCOMPARE(cipher.lastError(), ConfigCipher::CipherOk);
}

QTEST_APPLESS_MAIN(TestConfigCipher)
#include "tst_configcipher.moc"
