// Download of a 512 KiB image through the library's download operation (compare and erase,
// write, verify) to the simulated device on its ROM timing profile: reported poll timeouts
// of 100 ms after every command and 104 ms after every 2 KiB block, far above the flash's own
// work. Each run on a fresh device, in one process:
//   - a full download with early status requests (the library's default) against the
//     flash's own work;
//   - every poll timeout waited out, for reference; a strict device that stalls early status
//     requests, against it;
//   - downloads that keep the sectors already holding what the image wants: a blank device,
//     an update in which one 16 KiB sector differs, the same image again, at reads of 2, 4
//     and 8 ms per 2 KiB (the profile's 2 ms is an estimate; full-speed control reads may be
//     slower). Each against its own limit: the time to read what must be read (to compare,
//     up to the first differing block of a sector, and to verify what was written) plus the
//     time to erase and write what differs, from the profile's figures;
//   - the worst case for comparing, every sector differing only in its last block, at 8 ms
//     per 2 KiB, against a full download at the same read speed.
// Each line reads `CASE: ratio R (target <= T)` where there is a target, for scripts.

#include "CpuTime.h"
#include "DfuHandles.h"
#include "SimDfu.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Base = 0x08000000;
constexpr uint32_t Block = 2048;

struct Run
{
    bool ok = false;
    double wall = 0;  // seconds
    double work = 0;  // the flash's own work, seconds
    double cpu = 0;
};

enum class Before { Blank, SameImage, OneSectorDiffers, LastBlocksDiffer };

std::vector<uint8_t> imageData()
{
    std::vector<uint8_t> data(512 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + (i >> 11));
    return data;
}

// The sectors the image covers, as the one-alternate device lays them out.
std::vector<std::pair<uint32_t, uint32_t>> sectors()
{
    std::vector<std::pair<uint32_t, uint32_t>> out;
    uint32_t at = 0;
    for (uint32_t size : {16u, 16u, 16u, 16u, 64u, 128u, 128u, 128u}) {
        out.emplace_back(at, size * 1024);
        at += size * 1024;
    }
    return out;
}

// What the memory holds before the download.
std::vector<uint8_t> memoryBefore(Before before, const std::vector<uint8_t> &data)
{
    if (before == Before::Blank)
        return std::vector<uint8_t>(data.size(), 0xFF);
    std::vector<uint8_t> memory = data;
    if (before == Before::OneSectorDiffers)
        std::fill(memory.begin() + 16384, memory.begin() + 2 * 16384, uint8_t(0x5A));
    if (before == Before::LastBlocksDiffer) {
        for (const auto &s : sectors())
            memory[s.first + s.second - 1] ^= 0x01;
    }
    return memory;
}

// The profile's erase time of the sector sizes the device has.
double eraseMs(uint32_t size)
{
    return size == 16 * 1024 ? 250 : size == 64 * 1024 ? 550 : 1000;
}

// The least a skipping download can cost: each kept sector read whole; each other sector read
// up to its first differing block, erased, written (8 ms a block) and read back.
double limitSeconds(const std::vector<uint8_t> &memory, const std::vector<uint8_t> &data, double readMsPerBlock)
{
    double ms = 0;
    for (const auto &s : sectors()) {
        uint32_t firstDiff = s.second;
        for (uint32_t i = 0; i < s.second; ++i) {
            if (memory[s.first + i] != data[s.first + i]) {
                firstDiff = i;
                break;
            }
        }
        if (firstDiff == s.second) {
            ms += readMsPerBlock * s.second / Block;
            continue;
        }
        ms += readMsPerBlock * (firstDiff / Block + 1);
        ms += eraseMs(s.second) + 8.0 * s.second / Block + readMsPerBlock * s.second / Block;
    }
    return ms / 1000;
}

Run download(sim::EarlyStatus early, bool honour, int32_t flag, Before before, double readMsPerBlock)
{
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.timing = sim::Timing::Realistic;
    setup.quirks.earlyStatus = early;
    setup.readMsPerKiB = readMsPerBlock / 2;
    const SimDfuDevice dev = plugDfuDevice(setup);
    Run run;
    dfulib::Mapping mapping;
    if (mapping.createFrom(dev.path.c_str()) != DFU_OK)
        return run;
    const std::vector<uint8_t> data = imageData();
    const std::vector<uint8_t> memory = memoryBefore(before, data);
    dev.model->writeMemory(mapping.size() - 1, Base, memory.data(), memory.size());
    dfulib::Image image;
    DFUFILES_CreateImage(mapping.last().alternate, "fw", image.receive());
    DFUFILES_AppendElement(image.get(), Base, data.data(), uint32_t(data.size()));
    DFUFILES_FilterImageForOperation(image.get(), &mapping.last(), DFU_OPERATION_DOWNLOAD, 0);

    DFUOPS_SetHonourPollTimeouts(honour);
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const uint64_t workBefore = dev.model->workMilliseconds();
    const DfuOperationContext c = runOperation(DFU_OPERATION_DOWNLOAD, image.get(), dev.path, 600000, 5, flag);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = cpuSeconds() - cpuBefore;
    DFUOPS_SetHonourPollTimeouts(false);
    run.work = double(dev.model->workMilliseconds() - workBefore) / 1000.0;
    std::vector<uint8_t> after(data.size());
    run.ok = c.errorStatus == DFU_OK && dev.model->readMemory(mapping.size() - 1, Base, after.data(), after.size())
             && after == data;
    if (!run.ok)
        std::fprintf(stderr, "download failed: %s\n", DFU_StatusText(c.errorStatus));
    sim::World::instance().unplug(dev.model);
    return run;
}

} // namespace

int main()
{
    // The strict device's one fallback is reported on Qt's message output; the figures say enough.
    qputenv("QT_LOGGING_RULES", "*.warning=false;*.debug=false");
    const int32_t full = DFU_FLAG_FULL_DOWNLOAD;
    const auto when = sim::EarlyStatus::AnswerWhenDone;
    const Run early = download(when, false, full, Before::Blank, 2);
    const Run honoured = download(when, true, full, Before::Blank, 2);
    const Run strict = download(sim::EarlyStatus::Stall, false, full, Before::Blank, 2);
    bool ok = early.ok && honoured.ok && strict.ok;

    std::printf("download of 512 KiB (compare and erase, write, verify), ROM profile\n");
    std::printf("  flash work (erase + program + read-back)   %8.3f s\n", early.work);
    std::printf("  full download, early status requests       %8.3f s  (host CPU %.2f%% of wall)\n", early.wall,
                100.0 * early.cpu / early.wall);
    std::printf("  full download, poll timeouts waited out    %8.3f s\n", honoured.wall);
    std::printf("  full download, strict device               %8.3f s  (memory equal to the image)\n", strict.wall);

    struct Case
    {
        const char *name;
        Before before;
    };
    const Case cases[] = {{"blank device", Before::Blank},
                          {"one 16 KiB sector differs", Before::OneSectorDiffers},
                          {"the same image again", Before::SameImage}};
    std::vector<std::string> lines;
    const std::vector<uint8_t> data = imageData();
    for (double readMs : {2.0, 4.0, 8.0}) {
        for (const Case &c : cases) {
            const Run r = download(when, false, 0, c.before, readMs);
            ok = ok && r.ok;
            const double limit = limitSeconds(memoryBefore(c.before, data), data, readMs);
            std::printf("  skipping, %.0f ms per 2 KiB read: %-26s %8.3f s (its limit %.3f s)\n", readMs, c.name,
                        r.wall, limit);
            char line[160];
            std::snprintf(line, sizeof line, "%s at %.0f ms per 2 KiB / its limit: ratio %.3f (target <= 1.10)", c.name,
                          readMs, r.wall / limit);
            lines.push_back(line);
        }
    }
    const Run fullSlow = download(when, false, full, Before::Blank, 8);
    const Run worst = download(when, false, 0, Before::LastBlocksDiffer, 8);
    ok = ok && fullSlow.ok && worst.ok;
    std::printf("  8 ms per 2 KiB read: full download %.3f s, every sector differing in its last block %.3f s\n",
                fullSlow.wall, worst.wall);
    if (!ok)
        return 1;

    std::printf("full download / flash work: ratio %.3f (target <= 1.05)\n", early.wall / early.work);
    std::printf("honoured download / early download: ratio %.3f (for reference)\n", honoured.wall / early.wall);
    std::printf("strict device / honoured download: ratio %.3f (target <= 1.05)\n", strict.wall / honoured.wall);
    for (const std::string &line : lines)
        std::printf("%s\n", line.c_str());
    std::printf("every sector differing in its last block, 8 ms per 2 KiB / full download: ratio %.3f (target <= 1.15)\n",
                worst.wall / fullSlow.wall);
    return 0;
}
