// Runs inside an emulated machine, as root: serves a simulated product through the
// kernel's USB gadget framework (sim::GadgetServer) and drives it from the host side of
// the same kernel with the real hidapi (hidraw) and the real libusb: the version query and
// DFU entry of the application-mode link, enumeration and mapping of the DFU device, a
// download with verify of a multi-image file, an upload, the return to application mode,
// and the device memory against the image. Prints "TOLVEX-GADGET PASS" or
// "TOLVEX-GADGET FAIL: <step>: <why>".
// --broken-functional-descriptor serves a DFU device whose functional descriptor has a
// wrong length, which must make the run fail.
// --cli PROGRAM serves the product to the shipped tolvex-dfu instead, run as its own
// process: list, update from application mode to the new version, a station twice over the
// same board, enter-dfu, upload.

#include "DfuEntryCommandSet.h"
#include "DfuFileFormat.h"
#include "GadgetServer.h"
#include "HidCommandSet.h"
#include "HidTransport.h"
#include "LibraryLog_p.h"
#include "SimDfu.h"

#include "ConfigCipher.h"
#include "ConfigFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t Flash = 0x08000000;
constexpr uint32_t OptionBytes = 0x1FFFC000;

int failed(const char *step, const std::string &why)
{
    std::printf("TOLVEX-GADGET FAIL: %s: %s\n", step, why.c_str());
    std::fflush(stdout);
    return 1;
}

void say(const std::string &text)
{
    std::printf("gadget-check: %s\n", text.c_str());
    std::fflush(stdout);
}

// Waits for the product to show up in application mode and opens it.
bool openApplicationMode(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const QList<QStringList> found = hidTransport.enumerate(QStringLiteral("Corvantis"));
        if (!found.isEmpty() && hidTransport.open(found.first().at(2)))
            return true;
        QThread::msleep(100);
    }
    return false;
}

std::string dfuDevicePath(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        DfuPresentInterface found[4];
        uint32_t count = 0;
        if (DFUDEV_Enumerate(found, 4, &count) == DFU_OK && count > 0)
            return found[0].path;
        QThread::msleep(100);
    }
    return {};
}

std::string statusOf(const DfuOperationContext &c)
{
    char address[16];
    std::snprintf(address, sizeof address, "0x%08X", c.failedAddress);
    return std::string(DFU_StatusText(c.errorStatus)) + " (device state " + std::to_string(c.lastDeviceState)
           + ", status " + std::to_string(c.lastDeviceStatus) + ", address " + address + ", libusb "
           + std::to_string(c.usbError) + ")";
}

struct Ran
{
    int exit = -1;
    QString out;
};

Ran runProgram(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    Ran r;
    if (!process.waitForFinished(240000))
        return r;
    r.exit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = QString::fromLocal8Bit(process.readAll());
    say((QStringLiteral("tolvex-dfu ") + args.join(QLatin1Char(' ')) + QStringLiteral(" -> exit %1\n").arg(r.exit)
         + r.out)
            .toStdString());
    return r;
}

// The shipped program against the real stack, as a user runs it.
int checkProgram(const QString &program, sim::Board &board)
{
    QDir::setCurrent(QStringLiteral("/tmp"));
    ConfigCipher cipher(ConfigurationKey);
    QFile config(QStringLiteral("Config.ini"));
    if (!config.open(QIODevice::WriteOnly) || config.write(cipher.encryptBytes("Tolvex Demo Board,fw_main_v2\n")) < 0)
        return failed("tolvex-dfu", "cannot write Config.ini");
    config.close();
    std::vector<uint8_t> image(6000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7 + 3);
    const char version[9] = "V1.1";
    std::memcpy(image.data() + (sim::HidAppDeviceModel::VersionTextAddress - Flash), version, sizeof version);
    dfulib::Target t;
    t.alternate = 1;
    t.name = "fw_main_v2";
    t.elements.emplace_back(Flash, image);
    std::vector<uint8_t> bytes;
    dfulib::buildFile(0x1209, 0x2A17, 0x0200, {t}, bytes);
    QFile file(QStringLiteral("fw.dfu"));
    if (!file.open(QIODevice::WriteOnly) || file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) < 0)
        return failed("tolvex-dfu", "cannot write fw.dfu");
    file.close();

    // Wait for the product in application mode, as a user would plug it in first.
    if (!openApplicationMode(20000))
        return failed("tolvex-dfu", "the product did not show up in application mode");
    hidTransport.close();
    Ran r = runProgram(program, {QStringLiteral("list")});
    if (r.exit != 0
        || !r.out.contains(QStringLiteral("\"Tolvex Demo Board\"  serial TVX-0001  16/64-byte reports  firmware V1.0")))
        return failed("tolvex-dfu list", "exit " + std::to_string(r.exit));
    r = runProgram(program, {QStringLiteral("update"), QStringLiteral("fw.dfu")});
    if (r.exit != 0 || !r.out.contains(QStringLiteral("V1.0 -> V1.1")))
        return failed("tolvex-dfu update", "exit " + std::to_string(r.exit));
    std::vector<uint8_t> memory(image.size());
    if (!board.dfu->readMemory(1, Flash, memory.data(), memory.size()) || memory != image)
        return failed("tolvex-dfu update", "the memory differs from the image");
    // The station, twice over the same board: holding the image, it is up to date and sent
    // back; then, with --full, written once more.
    r = runProgram(program, {QStringLiteral("station"), QStringLiteral("fw.dfu"), QStringLiteral("--count"),
                             QStringLiteral("1"), QStringLiteral("--no-history")});
    if (r.exit != 0 || !r.out.contains(QStringLiteral("already up to date")))
        return failed("tolvex-dfu station", "exit " + std::to_string(r.exit));
    if (!openApplicationMode(20000))
        return failed("tolvex-dfu station", "the board did not come back in application mode");
    hidTransport.close();
    r = runProgram(program, {QStringLiteral("station"), QStringLiteral("fw.dfu"), QStringLiteral("--count"),
                             QStringLiteral("1"), QStringLiteral("--full"), QStringLiteral("--no-history")});
    if (r.exit != 0 || !r.out.contains(QStringLiteral("V1.1 -> V1.1")))
        return failed("tolvex-dfu station", "exit " + std::to_string(r.exit));
    r = runProgram(program, {QStringLiteral("enter-dfu")});
    if (r.exit != 0)
        return failed("tolvex-dfu enter-dfu", "exit " + std::to_string(r.exit));
    r = runProgram(program, {QStringLiteral("upload"), QStringLiteral("read-back.dfu")});
    QFile readBack(QStringLiteral("read-back.dfu"));
    if (r.exit != 0 || !readBack.open(QIODevice::ReadOnly))
        return failed("tolvex-dfu upload", "exit " + std::to_string(r.exit));
    const QByteArray uploaded = readBack.readAll();
    dfulib::FileView view;
    if (dfulib::parseFile(reinterpret_cast<const uint8_t *>(uploaded.constData()), size_t(uploaded.size()), view)
            != DFU_OK
        || view.targets.size() != 1 || view.targets[0].elements.empty()
        || view.targets[0].elements[0].size < image.size()
        || std::memcmp(view.targets[0].elements[0].data, image.data(), image.size()) != 0)
        return failed("tolvex-dfu upload", "the file does not hold the device memory");
    return 0;
}

// Stops the server; a data stage the device never received fails the run, whatever the
// library made of it afterwards.
int finish(sim::GadgetServer &server, int result)
{
    server.stop();
    if (result == 0 && server.lostDataStageCount() != 0)
        return failed("endpoint 0", std::to_string(server.lostDataStageCount()) + " OUT data stages were lost");
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    routeDfuLibraryLog();
    const bool broken = application.arguments().contains(QStringLiteral("--broken-functional-descriptor"));
    const bool otterNine = application.arguments().contains(QStringLiteral("--otternine"));

    sim::DfuDeviceSpec loader = sim::DfuDeviceSpec::twoAlternates();
    // gadgetfs stalls control OUT data stages longer than its 256-byte endpoint-0 buffer
    // before they reach user space, so the device served through it says it takes 256
    // bytes per block; the library follows what the device says.
    loader.transferSize = 256;
    // 8 bytes is neither the 7 of the USB DFU 1.0 descriptor nor the 9 of 1.1.
    if (broken)
        loader.functionalLength = 8;
    sim::Board board = sim::makeBoard(otterNine ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec(), loader);
    board.app->setVersionText("V1.0");
    sim::GadgetServer server(board);
    if (!server.start())
        return failed("gadget", server.error());
    const int cli = application.arguments().indexOf(QStringLiteral("--cli"));
    if (cli > 0 && cli + 1 < application.arguments().size()) {
        if (finish(server, checkProgram(application.arguments().at(cli + 1), board)) != 0)
            return 1;
        std::printf("TOLVEX-GADGET PASS (tolvex-dfu)\n");
        return 0;
    }

    if (otterNine) {
        // The 8-byte family: its check and its way into DFU mode, then back.
        if (!openApplicationMode(20000))
            return failed("application mode", "no 8-byte HID device could be opened");
        HidCommandSet check(0x20);
        if (check.command66()[2] != 0)
            return failed("check", "command 0x66 in an 8-byte report was not answered with status 0");
        if (!DfuEntryCommandSet(0x30).enterDfuModeShort())
            return failed("DFU entry", "the 8-byte entry command was refused");
        const std::string dfuPath = dfuDevicePath(20000);
        if (dfuPath.empty())
            return failed("DFU enumeration", "no DFU-mode interface appeared after the 8-byte entry");
        DfuMappingRecord *records = nullptr;
        uint32_t count = 0;
        if (DFUOPS_CreateMappingFromDevice(dfuPath.c_str(), &records, &count) != DFU_OK || count == 0)
            return failed("DFU mapping", "the device entered by 8-byte reports has no mapping");
        DfuImageHandle leave = 0;
        DFUFILES_CreateImageFromMapping(&leave, &records[count - 1]);
        DFUFILES_FilterImageForOperation(leave, &records[count - 1], DFU_OPERATION_RETURN, 0);
        const DfuOperationContext c = runOperation(DFU_OPERATION_RETURN, leave, dfuPath, 30000, 10);
        DFUOPS_ReleaseMapping(records);
        if (c.errorStatus != DFU_OK)
            return failed("return", statusOf(c));
        if (!openApplicationMode(20000) || HidCommandSet(0x40).command66()[2] != 0)
            return failed("return", "the 8-byte device did not come back and answer");
        hidTransport.close();
        if (finish(server, 0) != 0)
            return 1;
        std::printf("TOLVEX-GADGET PASS (8-byte family)\n");
        return 0;
    }

    // Application mode, through hidraw.
    if (!openApplicationMode(20000))
        return failed("application mode", "no HID device with manufacturer \"Corvantis\" could be opened");
    HidCommandSet commands(0x40);
    HidAnswer answer = commands.command10();
    if (answer[2] != 0)
        return failed("version query", "status " + std::to_string(answer[2]));
    if (versionTextFromAnswer(answer) != QLatin1String("V1.0"))
        return failed("version query", "version \"" + versionTextFromAnswer(answer).toStdString() + "\"");
    say("application mode: version V1.0 read through hidraw");
    DfuEntryCommandSet entry(0x10);
    if (!entry.enterDfuMode())
        return failed("DFU entry", "the device refused the first command");
    say("DFU entry accepted");

    // DFU mode, through libusb.
    const std::string path = dfuDevicePath(20000);
    if (path.empty())
        return failed("DFU enumeration", "no DFU-mode interface appeared");
    DfuMappingRecord *mapping = nullptr;
    uint32_t alternates = 0;
    const DfuStatus mapped = DFUOPS_CreateMappingFromDevice(path.c_str(), &mapping, &alternates);
    if (mapped != DFU_OK)
        return failed("DFU mapping", DFU_StatusText(mapped));
    if (alternates != 2)
        return failed("DFU mapping", std::to_string(alternates) + " alternates, not 2");
    say("DFU mode: " + path + ", alternates \"" + mapping[0].name + "\" and \"" + mapping[1].name + "\"");

    // A file with an image for each alternate: option bytes and firmware with "V1.1".
    std::vector<uint8_t> firmware(64 * 1024);
    for (size_t i = 0; i < firmware.size(); ++i)
        firmware[i] = uint8_t(i * 7 + (i >> 8));
    std::memcpy(firmware.data() + 0x200, "V1.1\0\0\0\0\0", 9);
    std::vector<uint8_t> options(16, 0x5A);
    std::vector<dfulib::Target> targets(2);
    targets[0].alternate = 0;
    targets[0].name = "options";
    targets[0].elements.emplace_back(OptionBytes, options);
    targets[1].alternate = 1;
    targets[1].name = "fw_main_v2";
    targets[1].elements.emplace_back(Flash, firmware);
    std::vector<uint8_t> bytes;
    const char *file = "/tmp/multi.dfu";
    FILE *out = std::fopen(file, "wb");
    if (dfulib::buildFile(0x1209, 0x2A17, 0x0100, targets, bytes) != DFU_OK || !out
        || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0)
        return failed("file", "cannot write the multi-image file");
    DfuFileHandle opened = 0;
    uint16_t vid = 0, pid = 0, release = 0;
    uint8_t images = 0;
    if (DFUFILES_OpenExistingDFUFile(file, &opened, &vid, &pid, &release, &images) != DFU_OK || images != 2)
        return failed("file", "the multi-image file does not read back");

    for (uint8_t i = 0; i < images; ++i) {
        DfuImageHandle image = 0;
        DFUFILES_ReadImageFromDFUFile(opened, i, &image);
        uint8_t alternate = 0;
        DFUFILES_GetImageAlternate(image, &alternate);
        const DfuMappingRecord &record = mapping[alternate];
        DfuImageHandle eraseImage = 0;
        DFUFILES_DuplicateImage(image, &eraseImage);
        // Option bytes cannot be erased, only written.
        if (DFUFILES_FilterImageForOperation(eraseImage, &record, DFU_OPERATION_ERASE, 0) == DFU_OK) {
            const DfuOperationContext c = runOperation(DFU_OPERATION_ERASE, eraseImage, path, 120000, 10);
            if (c.errorStatus != DFU_OK)
                return failed("erase", statusOf(c));
        }
        DFUFILES_DestroyImage(&eraseImage);
        if (DFUFILES_FilterImageForOperation(image, &record, DFU_OPERATION_UPGRADE, 0) != DFU_OK)
            return failed("upgrade", "the image does not fit the alternate");
        const DfuOperationContext c = runOperation(DFU_OPERATION_UPGRADE, image, path, 120000, 10);
        if (c.errorStatus != DFU_OK)
            return failed("upgrade with verify", statusOf(c));
        say("alternate " + std::to_string(alternate) + " written and verified");
        DFUFILES_DestroyImage(&image);
    }
    DFUFILES_CloseDFUFile(opened);

    uint8_t memory[16];
    if (!board.dfu->readMemory(0, OptionBytes, memory, sizeof memory) || std::memcmp(memory, options.data(), 16) != 0)
        return failed("memory", "the option bytes differ from the image");
    std::vector<uint8_t> flash(firmware.size());
    if (!board.dfu->readMemory(1, Flash, flash.data(), flash.size()) || flash != firmware)
        return failed("memory", "the flash differs from the image");

    // Upload of the firmware's range, compared with the device memory.
    DfuImageHandle upload = 0;
    DFUFILES_CreateImage(1, "read-back", &upload);
    const std::vector<uint8_t> blank(firmware.size(), 0);
    DFUFILES_AppendElement(upload, Flash, blank.data(), uint32_t(blank.size()));
    DFUFILES_FilterImageForOperation(upload, &mapping[1], DFU_OPERATION_UPLOAD, 0);
    const DfuOperationContext read = runOperation(DFU_OPERATION_UPLOAD, upload, path, 120000, 10);
    if (read.errorStatus != DFU_OK)
        return failed("upload", statusOf(read));
    uint32_t address = 0, size = 0;
    std::vector<uint8_t> readBack(firmware.size());
    if (DFUFILES_GetElement(upload, 0, &address, &size, readBack.data(), uint32_t(readBack.size())) != DFU_OK
        || address != Flash || readBack != flash)
        return failed("upload", "what was read differs from the device memory");
    DFUFILES_DestroyImage(&upload);
    say("upload equals the device memory");

    // Back to application mode, with the new version.
    DfuImageHandle back = 0;
    DFUFILES_CreateImageFromMapping(&back, &mapping[1]);
    DFUFILES_FilterImageForOperation(back, &mapping[1], DFU_OPERATION_RETURN, 0);
    const DfuOperationContext left = runOperation(DFU_OPERATION_RETURN, back, path, 30000, 10);
    if (left.errorStatus != DFU_OK)
        return failed("return", statusOf(left));
    DFUOPS_ReleaseMapping(mapping);
    if (!openApplicationMode(20000))
        return failed("return", "the device did not come back in application mode");
    answer = commands.command10();
    if (answer[2] != 0 || versionTextFromAnswer(answer) != QLatin1String("V1.1"))
        return failed("new version", "status " + std::to_string(answer[2]) + ", version \""
                                         + versionTextFromAnswer(answer).toStdString() + "\"");
    say("back in application mode with version V1.1");
    hidTransport.close();
    if (finish(server, 0) != 0)
        return 1;
    std::printf("TOLVEX-GADGET PASS\n");
    return 0;
}
