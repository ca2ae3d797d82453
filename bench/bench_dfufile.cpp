// Opening (parsing and CRC-checking) a 16 MiB multi-image file and reading its images,
// against zlib's crc32 alone over the same bytes, in the same run. Also the peak memory
// of the open-and-read step. Targets: at most 1.5x the crc32 time, peak at most twice
// the file size.

#include "DfuFileFormat.h"
#include "dfulib.h"

#include <unistd.h>
#include <zlib.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

long statusKiB(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::string(field).size()));
    return -1;
}

// The peak is measured in a fresh process: in this one, the allocator keeps freed
// buffers of the earlier rounds resident and would hide the step's own memory.
double peakMiBInFreshProcess(const QByteArray &path)
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return -1;
    self[n] = '\0';
    const std::string command = std::string("'") + self + "' --peak '" + path.toStdString() + "'";
    FILE *child = popen(command.c_str(), "r");
    if (!child)
        return -1;
    double mib = -1;
    if (std::fscanf(child, "%lf", &mib) != 1)
        mib = -1;
    pclose(child);
    return mib;
}

bool openAndRead(const QByteArray &path, uint64_t &bytesRead)
{
    DfuFileHandle file = 0;
    uint16_t vid, pid, bcd;
    uint8_t count = 0;
    if (DFUFILES_OpenExistingDFUFile(path.constData(), &file, &vid, &pid, &bcd, &count) != DFU_OK)
        return false;
    std::vector<DfuImageHandle> images(count);
    for (uint8_t i = 0; i < count; ++i) {
        if (DFUFILES_ReadImageFromDFUFile(file, i, &images[i]) != DFU_OK)
            return false;
        uint32_t elements = 0, address, size;
        DFUFILES_GetElementCount(images[i], &elements);
        for (uint32_t e = 0; e < elements; ++e) {
            DFUFILES_GetElement(images[i], e, &address, &size, nullptr, 0);
            bytesRead += size;
        }
    }
    DFUFILES_CloseDFUFile(file);
    for (DfuImageHandle &h : images)
        DFUFILES_DestroyImage(&h);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::string(argv[1]) == "--peak") {
        const long before = statusKiB("VmRSS:");
        uint64_t read = 0;
        if (!openAndRead(QByteArray(argv[2]), read))
            return 1;
        std::printf("%.2f\n", double(statusKiB("VmHWM:") - before) / 1024.0);
        return 0;
    }
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath("big.dfu"));
    constexpr size_t FileTarget = 16u << 20;
    {
        // Four targets of four 1 MiB elements each, nearly 16 MiB in all.
        std::vector<dfulib::Target> targets(4);
        uint32_t seed = 1;
        for (size_t t = 0; t < targets.size(); ++t) {
            targets[t].alternate = uint8_t(t);
            targets[t].name = "image " + std::to_string(t);
            for (int e = 0; e < 4; ++e) {
                std::vector<uint8_t> bytes((FileTarget - 4096) / 16);
                for (uint8_t &b : bytes)
                    b = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
                targets[t].elements.emplace_back(0x08000000u + uint32_t(e) * (1u << 20), std::move(bytes));
            }
        }
        std::vector<uint8_t> bytes;
        if (dfulib::buildFile(0x1209, 0x2A17, 0x0100, targets, bytes) != DFU_OK)
            return 1;
        std::ofstream(path.constData(), std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                                 std::streamsize(bytes.size()));
    }
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray whole = file.readAll();
    const double fileMiB = double(whole.size()) / (1 << 20);

    constexpr int Rounds = 15;
    double crcBest = 1e9, openBest = 1e9;
    uint64_t sink = 0;
    for (int round = 0; round < Rounds; ++round) {
        // Interleaved, so that both see the same machine load.
        auto t0 = Clock::now();
        sink += crc32(0, reinterpret_cast<const Bytef *>(whole.constData()), uInt(whole.size()));
        auto t1 = Clock::now();
        uint64_t read = 0;
        if (!openAndRead(path, read))
            return 1;
        auto t2 = Clock::now();
        sink += read;
        crcBest = std::min(crcBest, std::chrono::duration<double>(t1 - t0).count());
        openBest = std::min(openBest, std::chrono::duration<double>(t2 - t1).count());
    }

    const double peakMiB = peakMiBInFreshProcess(path);

    std::printf("open and read a %.1f MiB .dfu file (best of %d rounds)\n", fileMiB, Rounds);
    std::printf("  zlib crc32 alone     %8.3f ms  (%.2f GB/s)\n", crcBest * 1e3, double(whole.size()) / crcBest / 1e9);
    std::printf("  open + read images   %8.3f ms\n", openBest * 1e3);
    std::printf("  ratio                %8.3f    (target <= 1.5)\n", openBest / crcBest);
    std::printf("  peak memory          %8.1f MiB = %.2f x the file (target <= 2)\n", peakMiB, peakMiB / fileMiB);
    std::printf("  (checksum %llu)\n", static_cast<unsigned long long>(sink & 0xFF));
    return 0;
}
