// Memory-layout strings and the answers of a device (status, descriptors), bytes in,
// fields out.

#include "DfuFileFormat.h"
#include "FileSignature.h"
#include "MemoryLayout.h"
#include "UsbAnswers.h"
#include "Minisign.h"
#include "Unpacked.h"

#include <QFile>
#include <QTest>

using Groups = QList<QList<quint32>>; // start, count, size, access

Q_DECLARE_METATYPE(Groups)

class DfuParsersTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void layouts_data();
    void layouts();
    void badLayouts_data();
    void badLayouts();
    void sectorLookup();
    void statusAnswers_data();
    void statusAnswers();
    void functionalDescriptors_data();
    void functionalDescriptors();
    void stringDescriptors_data();
    void stringDescriptors();
    void deviceDescriptor();
    void overlappingElements_data();
    void overlappingElements();
    void minisignSignatures_data();
    void minisignSignatures();
};

void DfuParsersTest::layouts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<quint32>>("regions");
    QTest::addColumn<Groups>("groups");
    const quint32 K = 1024;
    QTest::newRow("internal flash") << "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg"
                                    << "Internal Flash" << QList<quint32>{0x08000000}
                                    << Groups{{0x08000000, 4, 16 * K, 7}, {0x08010000, 1, 64 * K, 7},
                                              {0x08020000, 7, 128 * K, 7}};
    QTest::newRow("option bytes, byte sizes") << "@Option Bytes  /0x1FFF7800/01*40 e" << "Option Bytes"
                                              << QList<quint32>{0x1FFF7800} << Groups{{0x1FFF7800, 1, 40, 5}};
    QTest::newRow("OTP, two groups") << "@OTP Memory /0x1FFF7800/01*512 e,01*016 e" << "OTP Memory"
                                     << QList<quint32>{0x1FFF7800}
                                     << Groups{{0x1FFF7800, 1, 512, 5}, {0x1FFF7A00, 1, 16, 5}};
    QTest::newRow("two regions") << "@Flash/0x90000000/08*004Kg,01*032Kg,63*064Kg/0x90430000/61*064Kg" << "Flash"
                                 << QList<quint32>{0x90000000, 0x90430000}
                                 << Groups{{0x90000000, 8, 4 * K, 7}, {0x90008000, 1, 32 * K, 7},
                                           {0x90010000, 63, 64 * K, 7}, {0x90430000, 61, 64 * K, 7}};
    QTest::newRow("unpadded digits, capitals") << "@Big/0X08000000/128*002KG,01*64Kg" << "Big"
                                               << QList<quint32>{0x08000000}
                                               << Groups{{0x08000000, 128, 2 * K, 7}, {0x08040000, 1, 64 * K, 7}};
    QTest::newRow("megabytes, B multiplier, every letter")
        << "@M/0x0/01*1Ma,01*4Bb,01*4Bc,01*4Bd,01*4Be,01*4Bf,01*4Bg" << "M" << QList<quint32>{0}
        << Groups{{0, 1, K * K, 1}, {K * K, 1, 4, 2}, {K * K + 4, 1, 4, 3}, {K * K + 8, 1, 4, 4},
                  {K * K + 12, 1, 4, 5}, {K * K + 16, 1, 4, 6}, {K * K + 20, 1, 4, 7}};
    QTest::newRow("access letter alone, trailing blanks and NUL") << QString("@X/0x100/02*8a  ") + QChar(0) << "X"
                                                                  << QList<quint32>{0x100}
                                                                  << Groups{{0x100, 2, 8, 1}};
}

void DfuParsersTest::layouts()
{
    QFETCH(QString, text);
    QFETCH(QString, name);
    QFETCH(QList<quint32>, regions);
    QFETCH(Groups, groups);
    dfulib::MemoryLayout layout;
    QCOMPARE(dfulib::parseMemoryLayout(text.toStdString(), layout), DFU_OK);
    QCOMPARE(QString::fromStdString(layout.name), name);
    QCOMPARE(QList<quint32>(layout.regionStarts.begin(), layout.regionStarts.end()), regions);
    Groups actual;
    for (const dfulib::SectorGroup &g : layout.groups)
        actual << QList<quint32>{g.start, g.count, g.size, g.access};
    QCOMPARE(actual, groups);
}

void DfuParsersTest::badLayouts_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("no at sign") << "Internal Flash/0x08000000/04*016Kg";
    QTest::newRow("no region") << "@Name";
    QTest::newRow("no 0x") << "@N/08000000/04*016Kg";
    QTest::newRow("no groups") << "@N/0x08000000/";
    QTest::newRow("missing size") << "@N/0x08000000/04*Kg";
    QTest::newRow("missing star") << "@N/0x08000000/04016Kg";
    QTest::newRow("bad letter") << "@N/0x08000000/04*016Kh";
    QTest::newRow("bad multiplier") << "@N/0x08000000/04*016Xg";
    QTest::newRow("no access letter") << "@N/0x08000000/04*016K,01*1Kg";
    QTest::newRow("zero count") << "@N/0x08000000/00*016Kg";
    QTest::newRow("address too long") << "@N/0x108000000/01*016Kg";
    QTest::newRow("past 4 GiB") << "@N/0xFFFF0000/02*064Kg";
    QTest::newRow("huge count") << "@N/0x0/99999999999*1Kg";
    QTest::newRow("overlapping regions") << "@N/0x1000/04*1Kg/0x1800/01*1Kg";
    QTest::newRow("trailing comma") << "@N/0x1000/04*1Kg,";
}

void DfuParsersTest::badLayouts()
{
    QFETCH(QString, text);
    dfulib::MemoryLayout layout;
    QCOMPARE(dfulib::parseMemoryLayout(text.toStdString(), layout), DFU_ERROR_LAYOUT);
}

void DfuParsersTest::sectorLookup()
{
    dfulib::MemoryLayout layout;
    QCOMPARE(dfulib::parseMemoryLayout("@F/0x08000000/04*016Kg,01*064Kg/0x09000000/02*1Ka", layout), DFU_OK);
    dfulib::Sector s;
    QVERIFY(layout.sectorAt(0x08007FFF, s));
    QCOMPARE(s.address, 0x08004000u);
    QCOMPARE(s.size, 16384u);
    QVERIFY(layout.sectorAt(0x08010000, s));
    QCOMPARE(s.size, 65536u);
    QVERIFY(!layout.sectorAt(0x08020000, s));
    QVERIFY(!layout.sectorAt(0x07FFFFFF, s));
    QList<quint32> visited;
    QVERIFY(layout.forEachSector(0x08003FFF, 2 + 16384, [&](const dfulib::Sector &x) {
        visited << x.address;
        return true;
    }));
    QCOMPARE(visited, (QList<quint32>{0x08000000, 0x08004000, 0x08008000}));
    QVERIFY(!layout.forEachSector(0x0801FFFF, 2, [](const dfulib::Sector &) { return true; }));
    QVERIFY(
        layout.forEachSector(0x09000400, 1, [](const dfulib::Sector &x) { return x.access == dfulib::AccessRead; }));
}

void DfuParsersTest::statusAnswers_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("poll");
    QTest::addColumn<int>("state");
    QTest::newRow("idle") << QByteArray::fromHex("000000000200") << true << 0 << 0 << 2;
    QTest::newRow("busy, 24-bit poll") << QByteArray::fromHex("00640102 0400") << true << 0 << 0x020164 << 4;
    QTest::newRow("error errTARGET") << QByteArray::fromHex("010000000a00") << true << 1 << 0 << 10;
    QTest::newRow("short") << QByteArray::fromHex("0000000002") << false << 0 << 0 << 0;
    QTest::newRow("long") << QByteArray::fromHex("00000000020000") << false << 0 << 0 << 0;
    QTest::newRow("unknown state") << QByteArray::fromHex("000000000b00") << false << 0 << 0 << 0;
}

void DfuParsersTest::statusAnswers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    dfulib::StatusAnswer s;
    QCOMPARE(dfulib::parseStatusAnswer(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), s),
        valid);
    if (valid) {
        QTEST(int(s.status), "status");
        QTEST(int(s.pollTimeoutMs), "poll");
        QTEST(int(s.state), "state");
    }
}

void DfuParsersTest::functionalDescriptors_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("transferSize");
    QTest::addColumn<int>("version");
    QTest::newRow("alone") << QByteArray::fromHex("09210bff000008 1a01") << true << 2048 << 0x011A;
    QTest::newRow("after another descriptor") << QByteArray::fromHex("0524000110 09210bff000004 1a01") << true << 1024
                                              << 0x011A;
    QTest::newRow("DFU 1.0, seven bytes") << QByteArray::fromHex("0721 0bff000008") << true << 2048 << 0x0100;
    QTest::newRow("wrong length 8") << QByteArray::fromHex("08210bff0000081a") << false << 0 << 0;
    QTest::newRow("length past the end") << QByteArray::fromHex("0a210bff0000081a01") << false << 0 << 0;
    QTest::newRow("zero length loops no more") << QByteArray::fromHex("0024 09210bff0000081a01") << false << 0 << 0;
    QTest::newRow("none") << QByteArray::fromHex("052400011005240101") << false << 0 << 0;
    QTest::newRow("empty") << QByteArray() << false << 0 << 0;
}

void DfuParsersTest::functionalDescriptors()
{
    QFETCH(QByteArray, extra);
    QFETCH(bool, found);
    DfuFunctionalDescriptor d{};
    QCOMPARE(
        dfulib::findFunctionalDescriptor(reinterpret_cast<const uint8_t *>(extra.constData()), size_t(extra.size()), d),
        found);
    if (found) {
        QCOMPARE(unpacked(d.bmAttributes), quint8(0x0B));
        QCOMPARE(unpacked(d.wDetachTimeOut), quint16(255));
        QTEST(int(d.wTransferSize), "transferSize");
        QTEST(int(d.bcdDFUVersion), "version");
    }
}

void DfuParsersTest::stringDescriptors_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("Corvantis") << QByteArray::fromHex("14034300 6f007200760061006e007400690073 00") << true
                               << QByteArray("Corvantis");
    QTest::newRow("Latin-1 and beyond") << QByteArray::fromHex("0803e9002c20 4100") << true << QByteArray("\xe9?A");
    QTest::newRow("empty string") << QByteArray::fromHex("0203") << true << QByteArray();
    // Real devices' slips: the text is what arrived, in whole characters.
    QTest::newRow("length beyond data") << QByteArray::fromHex("0a034100") << true << QByteArray("A");
    QTest::newRow("odd length") << QByteArray::fromHex("05034100 42") << true << QByteArray("A");
    QTest::newRow("length shorter than data") << QByteArray::fromHex("04034100 4200") << true << QByteArray("A");
    QTest::newRow("wrong type") << QByteArray::fromHex("04024100") << false << QByteArray();
    QTest::newRow("one byte") << QByteArray::fromHex("02") << false << QByteArray();
}

void DfuParsersTest::stringDescriptors()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    std::string text;
    QCOMPARE(
        dfulib::parseStringDescriptor(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), text),
        valid);
    if (valid)
        QTEST(QByteArray::fromStdString(text), "text");
}

void DfuParsersTest::deviceDescriptor()
{
    const QByteArray d = QByteArray::fromHex("120100020000004009 12172a000201020301");
    DfuUsbDeviceDescriptor out{};
    QVERIFY(dfulib::parseDeviceDescriptor(reinterpret_cast<const uint8_t *>(d.constData()), size_t(d.size()), out));
    QCOMPARE(unpacked(out.idVendor), quint16(0x1209));
    QCOMPARE(unpacked(out.idProduct), quint16(0x2A17));
    QCOMPARE(unpacked(out.bcdDevice), quint16(0x0200));
    QCOMPARE(unpacked(out.iSerialNumber), quint8(3));
    QVERIFY(!dfulib::parseDeviceDescriptor(reinterpret_cast<const uint8_t *>(d.constData()), 17, out));
    QByteArray wrongType = d;
    wrongType[1] = 2;
    QVERIFY(!dfulib::parseDeviceDescriptor(reinterpret_cast<const uint8_t *>(wrongType.constData()), 18, out));
}

void DfuParsersTest::overlappingElements_data()
{
    QTest::addColumn<QList<quint32>>("spans"); // address, size, address, size...
    QTest::addColumn<QList<quint32>>("found"); // first, second, address; empty: none
    QTest::newRow("apart") << QList<quint32>{0, 16, 16, 16, 64, 1} << QList<quint32>{};
    QTest::newRow("the second over the end of the first") << QList<quint32>{0, 4096, 2048, 2048}
                                                          << QList<quint32>{0, 1, 2048};
    QTest::newRow("out of order, one inside another") << QList<quint32>{0x100, 0x10, 0, 0x1000}
                                                      << QList<quint32>{0, 1, 0x100};
    QTest::newRow("behind a short one, inside a long one") << QList<quint32>{0, 100, 20, 4, 50, 10}
                                                           << QList<quint32>{0, 1, 20};
    // The end to beat is the furthest of all before, not the first element's.
    QTest::newRow("the third over the second, clear of the first")
        << QList<quint32>{0, 100, 100, 10, 105, 15} << QList<quint32>{1, 2, 105};
    QTest::newRow("the third over the first, clear of the second")
        << QList<quint32>{0, 100, 200, 10, 50, 10} << QList<quint32>{0, 2, 50};
    QTest::newRow("empty elements share nothing") << QList<quint32>{0, 0, 0, 16, 8, 0} << QList<quint32>{};
    QTest::newRow("to the end of the address space") << QList<quint32>{0xFFFFFFF0u, 16, 0xFFFFFFFFu, 1}
                                                     << QList<quint32>{0, 1, 0xFFFFFFFFu};
}

void DfuParsersTest::overlappingElements()
{
    QFETCH(QList<quint32>, spans);
    QFETCH(QList<quint32>, found);
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (int i = 0; i + 1 < spans.size(); i += 2)
        pairs.emplace_back(spans[i], spans[i + 1]);
    dfulib::Overlap overlap;
    QCOMPARE(dfulib::findOverlap(pairs, overlap), !found.isEmpty());
    if (!found.isEmpty())
        QCOMPARE((QList<quint32>{quint32(overlap.first), quint32(overlap.second), overlap.address}), found);
}

namespace {

QByteArray readData(const char *name)
{
    QFile f(QStringLiteral(TOLVEX_SIGNED_DIR "/") + QLatin1String(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A key of our own, made once for every row: its public file is the second trusted key.
const TestKey &ourKey()
{
    static const TestKey key;
    return key;
}

} // namespace

void DfuParsersTest::minisignSignatures_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("signature"); // empty: no signature file beside it
    QTest::addColumn<int>("verdict");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("keyId"); // of the signature, where it is checked
    QTest::addColumn<QString>("comment"); // its trusted comment, where it is checked
    const int trusted = int(dfulib::SignatureVerdict::Trusted), mismatch = int(dfulib::SignatureVerdict::Mismatch),
              damaged = int(dfulib::SignatureVerdict::Damaged);
    const QByteArray file = readData("signed.dfu"), real = readData("signed.dfu.minisig");
    const TestKey &ours = ourKey();
    const TestKey other;
    QByteArray byteChanged = file;
    if (!byteChanged.isEmpty())
        byteChanged[200] = char(byteChanged[200] ^ 1);
    QList<QByteArray> lines = real.split('\n');
    QByteArray raw = QByteArray::fromBase64(lines.value(1));
    if (raw.size() > 1)
        raw[1] = 'X';
    lines[1] = raw.toBase64();
    const QByteArray unknownAlgorithm = lines.join('\n');
    const QByteArray notBase64 = QByteArray(real).replace(real.indexOf('\n') + 5, 3, "!!!");
    QTest::newRow("the minisign program's, prehashed") << file << real << trusted << ""
                                                       << "2945C8051142B921"
                                                       << "Tolvex test firmware, prehashed";
    QTest::newRow("the minisign program's, legacy")
        << readData("legacy.dfu") << readData("legacy.dfu.minisig") << trusted << ""
        << ""
        << "";
    QTest::newRow("libsodium's, prehashed") << file << ours.sign(file, true) << trusted << ""
                                            << ""
                                            << "";
    QTest::newRow("libsodium's, legacy") << file << ours.sign(file, false) << trusted << ""
                                         << ""
                                         << "";
    QTest::newRow("signed by another key")
        << file << other.sign(file, true) << int(dfulib::SignatureVerdict::UnknownKey) << ""
        << ""
        << "";
    QTest::newRow("signature of another file")
        << file << ours.sign(file + "x", true) << mismatch << "does not match the file"
        << ""
        << "";
    QTest::newRow("a byte of the file changed") << byteChanged << real << mismatch << "does not match the file"
                                                << ""
                                                << "";
    QTest::newRow("the trusted comment changed")
        << file << QByteArray(real).replace("prehashed", "prehashed!") << mismatch << "trusted comment was changed"
        << ""
        << "";
    QTest::newRow("no signature file") << file << QByteArray() << int(dfulib::SignatureVerdict::NoSignature) << ""
                                       << ""
                                       << "";
    QTest::newRow("cut short") << file << real.left(real.indexOf("trusted comment:") + 20) << damaged << "cut short"
                               << ""
                               << "";
    QTest::newRow("oversized") << file << real + QByteArray(5000, '#') << damaged << "too large"
                               << ""
                               << "";
    QTest::newRow("unknown algorithm") << file << unknownAlgorithm << damaged << "unknown algorithm"
                                       << ""
                                       << "";
    QTest::newRow("not base64") << file << notBase64 << damaged << "not base64"
                                << ""
                                << "";
}

void DfuParsersTest::minisignSignatures()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, signature);
    QFETCH(int, verdict);
    QFETCH(QString, detail);
    QFETCH(QString, keyId);
    QFETCH(QString, comment);
    QVERIFY(!data.isEmpty());
    dfulib::MinisignKey maker;
    std::string error;
    QVERIFY(dfulib::parseMinisignKey(readData("maker.pub").toStdString(), maker, error));
    QCOMPARE(QString::fromStdString(dfulib::keyIdText(maker.keyId)), QStringLiteral("2945C8051142B921"));
    dfulib::MinisignKey oursKey;
    QVERIFY(dfulib::parseMinisignKey(ourKey().publicFile().toStdString(), oursKey, error));
    const dfulib::SignatureCheck c = dfulib::checkSignature(reinterpret_cast<const uint8_t *>(data.constData()),
        size_t(data.size()), !signature.isEmpty(), signature.toStdString(), {maker, oursKey});
    QCOMPARE(int(c.verdict), verdict);
    QVERIFY2(QString::fromStdString(c.detail).contains(detail), c.detail.c_str());
    if (!keyId.isEmpty())
        QCOMPARE(QString::fromStdString(c.keyId), keyId);
    if (!comment.isEmpty())
        QCOMPARE(QString::fromStdString(c.trustedComment), comment);
}

QTEST_APPLESS_MAIN(DfuParsersTest)
#include "tst_dfuparsers.moc"
