// Download of a 512 KiB image (erase, upgrade, verify) through the library calls to the
// simulated device on its realistic timing profile. Prints the wall time, the time the
// device itself imposed (its work and the poll timeouts it asked for), their ratio, and
// the host's CPU time. Targets: ratio at most 1.03, CPU at most 2% of the wall time.

#include "CpuTime.h"
#include "SimDfu.h"

#include <chrono>
#include <cstdio>
#include <vector>

int main()
{
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.timing = sim::Timing::Realistic;
    const SimDfuDevice dev = plugDfuDevice(setup);
    DfuMappingRecord *mapping = nullptr;
    uint32_t count = 0;
    if (DFUOPS_CreateMappingFromDevice(dev.path.c_str(), &mapping, &count) != DFU_OK) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    std::vector<uint8_t> data(512 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + (i >> 11));
    DfuImageHandle image = 0, eraseImage = 0;
    DFUFILES_CreateImage(0, "fw", &image);
    DFUFILES_AppendElement(image, 0x08000000, data.data(), uint32_t(data.size()));
    DFUFILES_DuplicateImage(image, &eraseImage);
    DFUFILES_FilterImageForOperation(eraseImage, &mapping[count - 1], DFU_OPERATION_ERASE, 0);
    DFUFILES_FilterImageForOperation(image, &mapping[count - 1], DFU_OPERATION_UPGRADE, 0);

    const uint64_t busyBefore = dev.model->busyMilliseconds();
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const DfuOperationContext erase = runOperation(DFU_OPERATION_ERASE, eraseImage, dev.path, 600000, 100);
    const DfuOperationContext upgrade = runOperation(DFU_OPERATION_UPGRADE, image, dev.path, 600000, 100);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    const double busy = double(dev.model->busyMilliseconds() - busyBefore) / 1000.0;
    if (erase.errorStatus != DFU_OK || upgrade.errorStatus != DFU_OK) {
        std::fprintf(stderr, "download failed: %s / %s\n", DFU_StatusText(erase.errorStatus),
                     DFU_StatusText(upgrade.errorStatus));
        return 1;
    }
    std::printf("download of 512 KiB (erase + upgrade + verify), realistic profile\n");
    std::printf("  wall time            %8.3f s\n", wall);
    std::printf("  device busy time     %8.3f s\n", busy);
    std::printf("  ratio wall / busy    %8.4f   (target <= 1.03)\n", wall / busy);
    std::printf("  host CPU time        %8.3f s = %.2f%% of wall (target <= 2%%)\n", cpu, 100.0 * cpu / wall);
    std::printf("  (polled every 100 ms like the window; the host CPU includes the simulated device's\n"
                "   own work, which runs in this process)\n");
    DFUFILES_DestroyImage(&image);
    DFUFILES_DestroyImage(&eraseImage);
    DFUOPS_ReleaseMapping(mapping);
    return 0;
}
