// Multi-image .dfu files: files written by another program, files made here byte by byte,
// every malformed case, and writing new files through the library calls.

#include "Bytes.h"
#include "DfuFileFormat.h"
#include "Registry_p.h"
#include "dfulib.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString testData(const char *name)
{
    return QStringLiteral(TOLVEX_TESTDATA_DIR "/%1").arg(QLatin1String(name));
}

// Little-endian pieces, written out here independently of the library's writer.
QByteArray u16(quint16 v)
{
    QByteArray b(2, '\0');
    b[0] = char(v & 0xFF);
    b[1] = char(v >> 8);
    return b;
}
QByteArray u32(quint32 v) { return u16(quint16(v)) + u16(quint16(v >> 16)); }

QByteArray target(quint8 alternate, const QByteArray &name, const QList<QPair<quint32, QByteArray>> &elements)
{
    QByteArray body;
    for (const auto &e : elements)
        body += u32(e.first) + u32(quint32(e.second.size())) + e.second;
    QByteArray paddedName = name;
    paddedName.resize(255, '\0');
    return QByteArray("Target") + char(alternate) + u32(name.isEmpty() ? 0 : 1) + paddedName
           + u32(quint32(body.size())) + u32(quint32(elements.size())) + body;
}

// A whole file; the CRC is that of the CRC-32 check value convention: zlib's crc32, inverted.
QByteArray file(const QList<QByteArray> &targets, quint16 vid = 0x1209, quint16 pid = 0x2A17, quint16 bcd = 0x0100)
{
    QByteArray body;
    for (const QByteArray &t : targets)
        body += t;
    QByteArray out = QByteArray("DfuSe\x01", 6) + u32(quint32(11 + body.size())) + char(targets.size()) + body;
    out += u16(bcd) + u16(pid) + u16(vid) + u16(0x011A) + QByteArray("UFD\x10", 4);
    out += u32(dfulib::suffixCrc(reinterpret_cast<const uint8_t *>(out.constData()), size_t(out.size())));
    return out;
}

QByteArray withCrcFixed(QByteArray bytes)
{
    bytes.chop(4);
    return bytes + u32(dfulib::suffixCrc(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())));
}

DfuStatus parse(const QByteArray &bytes, dfulib::FileView &view)
{
    return dfulib::parseFile(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), view);
}

QByteArray elementBytes(const dfulib::ElementView &e)
{
    return QByteArray(reinterpret_cast<const char *>(e.data), int(e.size));
}

} // namespace

class DfuFileTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crcCheckValue();
    void readsFilesOfAnotherWriter();
    void readsHandMadeFile();
    void exampleSuffixIsPlainDfu();
    void refusesMalformed_data();
    void refusesMalformed();
    void everyTruncationIsRefused();
    void libraryOpensAndReadsImages();
    void libraryWritesFiles();
    void unwritableDestination();
    void handleMisuse();
};

void DfuFileTest::crcCheckValue()
{
    QCOMPARE(dfulib::suffixCrc(reinterpret_cast<const uint8_t *>("123456789"), 9), 0x340BC6D9u);
}

void DfuFileTest::readsFilesOfAnotherWriter()
{
    dfulib::FileView view;
    const QByteArray two = readFile(testData("two-targets.dfu"));
    QCOMPARE(two.size(), 1679);
    QCOMPARE(parse(two, view), DFU_OK);
    QCOMPARE(view.idVendor, quint16(0x1209));
    QCOMPARE(view.idProduct, quint16(0x2A17));
    QCOMPARE(view.bcdDevice, quint16(0x0200));
    QCOMPARE(view.crc, 0x18F85D8Eu);
    QCOMPARE(view.targets.size(), size_t(2));
    QCOMPARE(view.targets[0].alternate, quint8(0));
    QCOMPARE(QByteArray::fromStdString(view.targets[0].name), QByteArray("Option Bytes"));
    QCOMPARE(view.targets[0].elements.size(), size_t(1));
    QCOMPARE(view.targets[0].elements[0].address, 0x1FFFC000u);
    QCOMPARE(elementBytes(view.targets[0].elements[0]), readFile(testData("opt.bin")));
    QCOMPARE(view.targets[1].alternate, quint8(1));
    QCOMPARE(QByteArray::fromStdString(view.targets[1].name), QByteArray("fw_main_v2"));
    QCOMPARE(view.targets[1].elements.size(), size_t(2));
    QCOMPARE(view.targets[1].elements[0].address, 0x08000000u);
    QCOMPARE(elementBytes(view.targets[1].elements[0]), readFile(testData("f1.bin")));
    QCOMPARE(view.targets[1].elements[1].address, 0x08004000u);
    QCOMPARE(elementBytes(view.targets[1].elements[1]), readFile(testData("f2.bin")));

    const QByteArray one = readFile(testData("one-target.dfu"));
    QCOMPARE(parse(one, view), DFU_OK);
    QCOMPARE(view.bcdDevice, quint16(0x0101));
    QCOMPARE(view.targets.size(), size_t(1));
    QCOMPARE(QByteArray::fromStdString(view.targets[0].name), QByteArray("MAIN"));
    QCOMPARE(elementBytes(view.targets[0].elements[0]), readFile(testData("f3.bin")));

    // Our writer gives back the other program's bytes exactly.
    const std::vector<dfulib::Target> targets = dfulib::copyTargets(view);
    std::vector<uint8_t> rebuilt;
    QCOMPARE(dfulib::buildFile(view.idVendor, view.idProduct, view.bcdDevice, targets, rebuilt), DFU_OK);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(rebuilt.data()), int(rebuilt.size())), one);
}

void DfuFileTest::readsHandMadeFile()
{
    const QByteArray bytes = file({target(0, "opt", {{0x1FFFC000, QByteArray("\x01\x02\x03\x04", 4)}}),
                                   target(1, "", {{0x08000000, QByteArray("abc")}, {0x08000100, QByteArray()}})},
                                  0x1209, 0x2A18, 0x0305);
    // Prefix 11 + two target prefixes 548 + elements (8+4) + (8+3) + (8+0) + suffix 16.
    QCOMPARE(bytes.size(), 11 + 548 + 12 + 11 + 8 + 16);
    dfulib::FileView view;
    QCOMPARE(parse(bytes, view), DFU_OK);
    QCOMPARE(view.idProduct, quint16(0x2A18));
    QCOMPARE(view.bcdDevice, quint16(0x0305));
    QCOMPARE(view.bcdDFU, quint16(0x011A));
    QVERIFY(view.targets[0].named);
    QVERIFY(!view.targets[1].named);
    QCOMPARE(view.targets[1].name, std::string());
    QCOMPARE(view.targets[1].elements.size(), size_t(2));
    QCOMPARE(elementBytes(view.targets[1].elements[0]), QByteArray("abc"));
    QCOMPARE(view.targets[1].elements[1].size, 0u);
    QCOMPARE(view.targets[1].elements[1].address, 0x08000100u);
}

void DfuFileTest::exampleSuffixIsPlainDfu()
{
    const QByteArray plain = QByteArray(100, '\x5A') + QByteArray::fromHex("ffff0300af1e0001554644 10d7a8756b");
    dfulib::FileView view;
    QCOMPARE(parse(plain, view), DFU_ERROR_FILE_PLAIN_DFU);
    QCOMPARE(QByteArray(DFU_StatusText(DFU_ERROR_FILE_PLAIN_DFU)).contains("plain DFU file"), true);
}

void DfuFileTest::refusesMalformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("status");
    const QByteArray good = file({target(1, "fw", {{0x08000000, QByteArray(40, 'x')}})});
    auto patched = [&](int at, const QByteArray &with, bool fixCrc = true) {
        QByteArray b = good;
        b.replace(at, with.size(), with);
        return fixCrc ? withCrcFixed(b) : b;
    };
    const int targetAt = 11, elementAt = 11 + 274, suffixAt = good.size() - 16;
    QTest::newRow("empty") << QByteArray() << quint32(DFU_ERROR_FILE_NOT_DFU);
    QTest::newRow("random bytes") << QByteArray(64, '\x33') << quint32(DFU_ERROR_FILE_NOT_DFU);
    QTest::newRow("prefix only") << QByteArray("DfuSe\x01\x0b\x00\x00\x00\x00", 11) << quint32(DFU_ERROR_FILE_TRUNCATED);
    QTest::newRow("file version 2") << patched(5, "\x02") << quint32(DFU_ERROR_FILE_VERSION);
    QTest::newRow("suffix signature") << patched(suffixAt + 8, "UFE") << quint32(DFU_ERROR_FILE_SUFFIX);
    QTest::newRow("suffix length") << patched(suffixAt + 11, "\x0f") << quint32(DFU_ERROR_FILE_SUFFIX);
    QTest::newRow("bcdDFU 0x0100") << patched(suffixAt + 6, u16(0x0100)) << quint32(DFU_ERROR_FILE_SUFFIX);
    QTest::newRow("CRC") << patched(suffixAt + 12, u32(0x12345678), false) << quint32(DFU_ERROR_FILE_CRC);
    QTest::newRow("one data bit") << patched(elementAt + 8 + 3, "y", false) << quint32(DFU_ERROR_FILE_CRC);
    QTest::newRow("total size short") << patched(6, u32(quint32(suffixAt - 1))) << quint32(DFU_ERROR_FILE_SIZE_MISMATCH);
    QTest::newRow("total size huge") << patched(6, u32(0xFFFFFFF0)) << quint32(DFU_ERROR_FILE_SIZE_MISMATCH);
    QTest::newRow("more targets than present") << patched(10, "\x02") << quint32(DFU_ERROR_FILE_TRUNCATED);
    QTest::newRow("fewer targets than present") << patched(10, QByteArray(1, '\0'))
                                                << quint32(DFU_ERROR_FILE_SIZE_MISMATCH);
    QTest::newRow("target signature") << patched(targetAt, "Tarxet") << quint32(DFU_ERROR_FILE_TARGET);
    QTest::newRow("target size beyond file") << patched(targetAt + 266, u32(0x7FFFFFFF))
                                             << quint32(DFU_ERROR_FILE_TRUNCATED);
    QTest::newRow("target size not the sum") << patched(targetAt + 266, u32(47)) << quint32(DFU_ERROR_FILE_TARGET);
    QTest::newRow("element count huge") << patched(targetAt + 270, u32(0xFFFFFFFF)) << quint32(DFU_ERROR_FILE_TARGET);
    QTest::newRow("element count two") << patched(targetAt + 270, u32(2)) << quint32(DFU_ERROR_FILE_TARGET);
    QTest::newRow("element size beyond target") << patched(elementAt + 4, u32(41)) << quint32(DFU_ERROR_FILE_TARGET);
    QTest::newRow("element size huge") << patched(elementAt + 4, u32(0xFFFFFFF8)) << quint32(DFU_ERROR_FILE_TARGET);
    QTest::newRow("element past 4 GiB") << patched(elementAt, u32(0xFFFFFFF0)) << quint32(DFU_ERROR_FILE_TARGET);
    QTest::newRow("trailing byte") << withCrcFixed(good.left(suffixAt) + 'z' + good.mid(suffixAt))
                                   << quint32(DFU_ERROR_FILE_SIZE_MISMATCH);
}

void DfuFileTest::refusesMalformed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, status);
    dfulib::FileView view;
    QCOMPARE(parse(bytes, view), status);
}

void DfuFileTest::everyTruncationIsRefused()
{
    // Cut anywhere (the suffix moves with the cut, so only the bounds checks can catch it).
    const QByteArray good = file({target(0, "a", {{0x100, QByteArray(20, 'a')}}), target(1, "b", {})});
    for (int cut = 1; cut < good.size() - 16; ++cut) {
        QByteArray shorter = good.left(good.size() - 16 - cut) + good.right(16);
        shorter = withCrcFixed(shorter);
        dfulib::FileView view;
        QVERIFY2(parse(shorter, view) != DFU_OK, qPrintable(QString::number(cut)));
    }
}

void DfuFileTest::libraryOpensAndReadsImages()
{
    DfuFileHandle f = 0;
    quint16 vid = 0, pid = 0, bcd = 0;
    quint8 count = 0;
    QCOMPARE(DFUFILES_OpenExistingDFUFile(qPrintable(testData("two-targets.dfu")), &f, &vid, &pid, &bcd, &count),
             DFU_OK);
    QCOMPARE(count, quint8(2));
    QCOMPARE(bcd, quint16(0x0200));
    DfuImageHandle image = 0;
    QCOMPARE(DFUFILES_ReadImageFromDFUFile(f, 1, &image), DFU_OK);
    QCOMPARE(DFUFILES_ReadImageFromDFUFile(f, 2, &image), DFU_ERROR_IMAGE_INDEX);
    QCOMPARE(DFUFILES_ReadImageFromDFUFile(f, -1, &image), DFU_ERROR_IMAGE_INDEX);
    QCOMPARE(DFUFILES_CloseDFUFile(f), DFU_OK);

    // The image outlives its file.
    char name[512];
    QCOMPARE(DFUFILES_GetImageName(image, name), DFU_OK);
    QCOMPARE(QByteArray(name), QByteArray("fw_main_v2"));
    quint8 alternate = 9;
    QCOMPARE(DFUFILES_GetImageAlternate(image, &alternate), DFU_OK);
    QCOMPARE(alternate, quint8(1));
    quint32 elements = 0, address = 0, size = 0;
    QCOMPARE(DFUFILES_GetElementCount(image, &elements), DFU_OK);
    QCOMPARE(elements, 2u);
    QByteArray data(64, '\0');
    QCOMPARE(DFUFILES_GetElement(image, 1, &address, &size, reinterpret_cast<uint8_t *>(data.data()), 64), DFU_OK);
    QCOMPARE(address, 0x08004000u);
    QCOMPARE(data, readFile(testData("f2.bin")));

    DfuImageHandle copy = 0;
    QCOMPARE(DFUFILES_DuplicateImage(image, &copy), DFU_OK);
    QCOMPARE(DFUFILES_SetImageName(copy, "renamed"), DFU_OK);
    QCOMPARE(DFUFILES_GetImageName(image, name), DFU_OK);
    QCOMPARE(QByteArray(name), QByteArray("fw_main_v2"));
    QCOMPARE(DFUFILES_DestroyImage(&image), DFU_OK);
    QCOMPARE(image, 0u);
    QCOMPARE(DFUFILES_DestroyImage(&copy), DFU_OK);

    // A plain file and a missing one.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("plain.dfu"), QByteArray(32, '\1') + QByteArray::fromHex("ffff0300af1e0001554644 10d7a8756b")));
    QCOMPARE(DFUFILES_OpenExistingDFUFile(qPrintable(dir.filePath("plain.dfu")), &f, &vid, &pid, &bcd, &count),
             DFU_ERROR_FILE_PLAIN_DFU);
    QCOMPARE(DFUFILES_OpenExistingDFUFile(qPrintable(dir.filePath("absent.dfu")), &f, &vid, &pid, &bcd, &count),
             DFU_ERROR_FILE_OPEN);
    QVERIFY(writeFile(dir.filePath("empty.dfu"), QByteArray()));
    QCOMPARE(DFUFILES_OpenExistingDFUFile(qPrintable(dir.filePath("empty.dfu")), &f, &vid, &pid, &bcd, &count),
             DFU_ERROR_FILE_NOT_DFU);
}

void DfuFileTest::libraryWritesFiles()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("out.dfu");
    DfuImageHandle a = 0, b = 0;
    QCOMPARE(DFUFILES_CreateImage(0, "opt", &a), DFU_OK);
    QCOMPARE(DFUFILES_AppendElement(a, 0x1FFFC000, reinterpret_cast<const uint8_t *>("\x01\x02\x03\x04"), 4), DFU_OK);
    QCOMPARE(DFUFILES_CreateImage(1, "", &b), DFU_OK);
    QCOMPARE(DFUFILES_AppendElement(b, 0x08000000, reinterpret_cast<const uint8_t *>("abc"), 3), DFU_OK);
    QCOMPARE(DFUFILES_AppendElement(b, 0x08000100, nullptr, 0), DFU_OK);
    QCOMPARE(DFUFILES_AppendElement(b, 0xFFFFFFFF, reinterpret_cast<const uint8_t *>("ab"), 2), DFU_ERROR_ADDRESS);

    DfuFileHandle f = 0;
    QCOMPARE(DFUFILES_CreateNewDFUFile(qPrintable(path), &f, 0x1209, 0x2A18, 0x0305), DFU_OK);
    QCOMPARE(DFUFILES_AppendImageToDFUFile(f, a), DFU_OK);
    QCOMPARE(DFUFILES_AppendImageToDFUFile(f, b), DFU_OK);
    QVERIFY(!QFile::exists(path)); // nothing appears before the file is complete
    QCOMPARE(DFUFILES_CloseDFUFile(f), DFU_OK);
    const QByteArray expected = file({target(0, "opt", {{0x1FFFC000, QByteArray("\x01\x02\x03\x04", 4)}}),
                                      target(1, "", {{0x08000000, QByteArray("abc")}, {0x08000100, QByteArray()}})},
                                     0x1209, 0x2A18, 0x0305);
    QCOMPARE(readFile(path), expected);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"out.dfu"});
    DFUFILES_DestroyImage(&a);
    DFUFILES_DestroyImage(&b);
}

void DfuFileTest::unwritableDestination()
{
    DfuFileHandle f = 0;
    QCOMPARE(DFUFILES_CreateNewDFUFile("/nonexistent-folder/x.dfu", &f, 1, 2, 3), DFU_ERROR_FILE_WRITE);
    QCOMPARE(DFUFILES_CreateNewDFUFile("", &f, 1, 2, 3), DFU_ERROR_INVALID_PARAMETER);

    // A link at the destination is never written through: kept where nothing may be
    // replaced, else replaced itself. The digest is of the bytes written.
    QTemporaryDir d;
    const QString there = d.filePath(QStringLiteral("there.dfu")), target = d.filePath(QStringLiteral("target"));
    QVERIFY(QFile::link(target, there)); // dangling
    QCOMPARE(
        DFUFILES_CreateNewDFUFileEx(qPrintable(there), &f, 1, 2, 3, DFU_NEW_FILE_KEEP_EXISTING), DFU_ERROR_FILE_EXISTS);
    QCOMPARE(DFUFILES_CreateNewDFUFile(qPrintable(there), &f, 1, 2, 3), DFU_OK);
    uint8_t digest[32] = {};
    QCOMPARE(DFUFILES_CloseDFUFileDigest(f, digest), DFU_OK);
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(!QFileInfo(there).isSymLink());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(digest), 32),
        QCryptographicHash::hash(readFile(there), QCryptographicHash::Sha256));
    // A file that appears meanwhile is not replaced either, and nothing is left behind.
    const QString late = d.filePath(QStringLiteral("late.dfu"));
    QCOMPARE(DFUFILES_CreateNewDFUFileEx(qPrintable(late), &f, 1, 2, 3, DFU_NEW_FILE_KEEP_EXISTING), DFU_OK);
    QVERIFY(writeFile(late, "first"));
    QCOMPARE(DFUFILES_CloseDFUFile(f), DFU_ERROR_FILE_EXISTS);
    QCOMPARE(readFile(late), QByteArray("first"));
    QCOMPARE(QDir(d.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
}

void DfuFileTest::handleMisuse()
{
    DfuImageHandle image = 0;
    QCOMPARE(DFUFILES_CreateImage(0, "x", &image), DFU_OK);
    DfuImageHandle stale = image;
    QCOMPARE(DFUFILES_DestroyImage(&image), DFU_OK);
    QCOMPARE(DFUFILES_DestroyImage(&stale), DFU_ERROR_INVALID_HANDLE);
    char name[512];
    QCOMPARE(DFUFILES_GetImageName(stale, name), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUFILES_SetImageName(12345678, "x"), DFU_ERROR_INVALID_HANDLE);
    DfuImageHandle none = 0;
    QCOMPARE(DFUFILES_DestroyImage(&none), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUFILES_CloseDFUFile(0), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUFILES_ReadImageFromDFUFile(77777, 0, &image), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUFILES_AppendImageToDFUFile(77777, stale), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUFILES_GetImageName(stale, nullptr), DFU_ERROR_INVALID_PARAMETER);
    quint32 code = 0;
    DfuOperationContext context{};
    QCOMPARE(DFUOPS_GetOperationStatus(4242, &context), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUOPS_StopOperation(4242, &context), DFU_ERROR_INVALID_HANDLE);
    context.operation = DFU_OPERATION_UPGRADE;
    context.image = stale;
    QCOMPARE(DFUOPS_LaunchOperation(&context, &code), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUOPS_ReleaseMapping(nullptr), DFU_OK);

    // Past four billion handles the numbers wrap, around 0 and around the ones still held.
    struct Wrapping : dfulib::Registry<int>
    {
        void numberFrom(uint32_t n) { next = n; }
    } registry;
    QCOMPARE(registry.add(std::make_shared<int>(1)), 1u);
    QCOMPARE(registry.add(std::make_shared<int>(2)), 2u);
    registry.numberFrom(0xFFFFFFFFu);
    QCOMPARE(registry.add(std::make_shared<int>(3)), 0xFFFFFFFFu);
    QVERIFY(registry.take(1));
    QCOMPARE(registry.add(std::make_shared<int>(4)), 1u); // 0 passed over, 1 free again
    QCOMPARE(registry.add(std::make_shared<int>(5)), 3u); // 2 is still held
    QCOMPARE(*registry.get(2), 2);
}

QTEST_APPLESS_MAIN(DfuFileTest)
#include "tst_dfufile.moc"
