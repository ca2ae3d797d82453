// Download of a 512 KiB image (erase, upgrade, verify) through the library calls to the
// simulated device on its ROM timing profile: reported poll timeouts of 100 ms after every
// command and 104 ms after every 2 KiB block, far above the flash's own work. Three runs,
// each on a fresh device, in one process:
//   - early status requests (the library's default): wall time over the flash's own work;
//   - every poll timeout waited out, for reference, and its ratio to the early run;
//   - a strict device that stalls early status requests: it must complete with its memory
//     equal to the image, at about the cost of waiting out its poll timeouts;
//   - downloads that skip the sectors already holding what the image wants: a blank
//     device, an update in which one 16 KiB sector differs, and the same image again.
// Each line reads `CASE: ratio R (target <= T)` where there is a target, for scripts.

#include "CpuTime.h"
#include "SimDfu.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

struct Run
{
    bool ok = false;
    double wall = 0;  // seconds
    double work = 0;  // the flash's own work, seconds
    double busy = 0;  // work and reported waits, seconds
    double cpu = 0;
};

enum class Before { Blank, SameImage, OneSectorDiffers };

std::vector<uint8_t> imageData()
{
    std::vector<uint8_t> data(512 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + (i >> 11));
    return data;
}

Run download(sim::EarlyStatus early, bool honour, int32_t flag, Before before = Before::Blank)
{
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.timing = sim::Timing::Realistic;
    setup.quirks.earlyStatus = early;
    const SimDfuDevice dev = plugDfuDevice(setup);
    Run run;
    DfuMappingRecord *mapping = nullptr;
    uint32_t count = 0;
    if (DFUOPS_CreateMappingFromDevice(dev.path.c_str(), &mapping, &count) != DFU_OK)
        return run;
    const std::vector<uint8_t> data = imageData();
    if (before != Before::Blank) {
        // What a download of the same image left; for the update, one 16 KiB sector of V1.0.
        std::vector<uint8_t> memory = data;
        if (before == Before::OneSectorDiffers)
            std::fill(memory.begin() + 16384, memory.begin() + 2 * 16384, uint8_t(0x5A));
        dev.model->writeMemory(count - 1, 0x08000000, memory.data(), memory.size());
    }
    DfuImageHandle image = 0, eraseImage = 0;
    DFUFILES_CreateImage(mapping[count - 1].alternate, "fw", &image);
    DFUFILES_AppendElement(image, 0x08000000, data.data(), uint32_t(data.size()));
    DFUFILES_DuplicateImage(image, &eraseImage);
    DFUFILES_FilterImageForOperation(eraseImage, &mapping[count - 1], DFU_OPERATION_ERASE, 0);
    DFUFILES_FilterImageForOperation(image, &mapping[count - 1], DFU_OPERATION_UPGRADE, 0);
    // Held open across both operations, as the window holds the device it works with.
    DfuDeviceHandle held = 0;
    DFUDEV_Open(dev.path.c_str(), &held);

    DFUOPS_SetHonourPollTimeouts(honour);
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const uint64_t workBefore = dev.model->workMilliseconds();
    const DfuOperationContext erase = runOperation(DFU_OPERATION_ERASE, eraseImage, dev.path, 600000, 100, flag);
    const DfuOperationContext upgrade = runOperation(DFU_OPERATION_UPGRADE, image, dev.path, 600000, 100, flag);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = cpuSeconds() - cpuBefore;
    DFUOPS_SetHonourPollTimeouts(false);
    run.work = double(dev.model->workMilliseconds() - workBefore) / 1000.0;
    run.busy = double(dev.model->busyMilliseconds()) / 1000.0;
    std::vector<uint8_t> memory(data.size());
    run.ok = erase.errorStatus == DFU_OK && upgrade.errorStatus == DFU_OK
             && dev.model->readMemory(count - 1, 0x08000000, memory.data(), memory.size()) && memory == data;
    if (!run.ok)
        std::fprintf(stderr, "download failed: %s / %s\n", DFU_StatusText(erase.errorStatus),
                     DFU_StatusText(upgrade.errorStatus));
    DFUDEV_Close(&held);
    DFUFILES_DestroyImage(&image);
    DFUFILES_DestroyImage(&eraseImage);
    DFUOPS_ReleaseMapping(mapping);
    sim::World::instance().unplug(dev.model);
    return run;
}

} // namespace

int main()
{
    // The strict device's one fallback is reported on Qt's message output; the figures say enough.
    qputenv("QT_LOGGING_RULES", "*.warning=false");
    const int32_t full = DFU_FLAG_FULL_DOWNLOAD;
    const Run early = download(sim::EarlyStatus::AnswerWhenDone, false, full);
    const Run honoured = download(sim::EarlyStatus::AnswerWhenDone, true, full);
    const Run strict = download(sim::EarlyStatus::Stall, false, full);
    const Run blank = download(sim::EarlyStatus::AnswerWhenDone, false, 0);
    const Run update = download(sim::EarlyStatus::AnswerWhenDone, false, 0, Before::OneSectorDiffers);
    const Run again = download(sim::EarlyStatus::AnswerWhenDone, false, 0, Before::SameImage);
    if (!early.ok || !honoured.ok || !strict.ok || !blank.ok || !update.ok || !again.ok)
        return 1;

    std::printf("download of 512 KiB (erase + upgrade + verify), ROM profile\n");
    std::printf("  flash work (erase + program + read-back)  %8.3f s\n", early.work);
    std::printf("  full download, early status requests      %8.3f s  (host CPU %.2f%% of wall)\n", early.wall,
                100.0 * early.cpu / early.wall);
    std::printf("  full download, poll timeouts waited out   %8.3f s\n", honoured.wall);
    std::printf("  full download, strict device              %8.3f s  (memory equal to the image)\n", strict.wall);
    std::printf("  skipping: blank device                    %8.3f s\n", blank.wall);
    std::printf("  skipping: V1.0 to V1.1, one sector differs %7.3f s\n", update.wall);
    std::printf("  skipping: the same image again            %8.3f s\n", again.wall);
    std::printf("full download / flash work: ratio %.3f (target <= 1.10)\n", early.wall / early.work);
    std::printf("honoured download / early download: ratio %.3f (expected about 3)\n", honoured.wall / early.wall);
    std::printf("strict device / honoured download: ratio %.3f (target <= 1.05)\n", strict.wall / honoured.wall);
    std::printf("one sector differs / full download: ratio %.3f (target <= 0.25)\n", update.wall / early.wall);
    std::printf("same image again / full download: ratio %.3f (target <= 0.15)\n", again.wall / early.wall);
    std::printf("blank device / full download: ratio %.3f (target <= 1.03)\n", blank.wall / early.wall);
    std::printf("dfu-util: no comparison in this run (not a dependency of the project)\n");
    return 0;
}
