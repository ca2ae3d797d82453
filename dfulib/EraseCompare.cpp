// Erasing, and the download's comparison of each sector with what the image wants there.

#include "Operation_p.h"

#include <algorithm>
#include <cstring>

namespace dfulib {

// A plain erase: every sector it was given, whatever they hold.
void Worker::erase(Link &link)
{
    uint64_t total = 0;
    for (const Sector &s : op.image.eraseSectors)
        total += s.size;
    begin(DFU_PHASE_ERASE, total);
    for (const Sector &s : op.image.eraseSectors) {
        link.allowEarly(readBack(s));
        link.command(CommandErase, s.address);
        advance(s.size);
    }
}

// The download's first phase. Each erasable sector the image touches is read and compared
// with what it must hold after a full download; one that holds it is kept (neither erased
// nor written), the others are erased. The read of a sector stops at its first differing
// block, so a blank or new device costs one block per sector.
//
// A comparison that keeps finding differences only late in each sector would read nearly
// the whole memory for nothing. So the bytes read in sectors that turned out to differ are
// counted, and once they exceed the bytes of the sectors kept so far plus a sixteenth of all
// there is to compare, the remaining sectors are erased without being read.
void Worker::compareAndErase(Link &link, std::vector<SectorWork> &plan)
{
    uint64_t total = 0, comparable = 0;
    for (const Sector &s : op.image.eraseSectors) {
        total += s.size;
        if (readBack(s))
            comparable += s.size;
    }
    begin(DFU_PHASE_ERASE, total);
    const bool compareOnly = op.context.flag & DFU_FLAG_COMPARE_ONLY;
    bool comparing = skipUnchanged();
    uint64_t wasted = 0, kept = 0;
    {
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.sectorsTouched = uint16_t(std::min<size_t>(op.image.eraseSectors.size(), UINT16_MAX));
        op.context.sectorsKept = 0;
    }
    for (const Sector &s : op.image.eraseSectors) {
        if (comparing && readBack(s)) {
            link.allowEarly(true);
            uint64_t bytesRead = 0;
            if (readsEqual(link, s.address, expectedContent(s), bytesRead)) {
                for (SectorWork &w : plan) {
                    if (w.sector.address == s.address)
                        w.kept = true;
                }
                kept += s.size;
                {
                    std::lock_guard<std::mutex> lock(op.mutex);
                    ++op.context.sectorsKept;
                }
                advance(s.size);
                continue;
            }
            wasted += bytesRead;
            if (wasted > kept + comparable / 16) {
                comparing = false;
                dfulib::log(DFU_LOG_DEBUG,
                    "DFU: %s: the memory differs from the image nearly everywhere; the rest is erased without "
                    "comparing.",
                    op.context.devicePath);
            }
        }
        if (!compareOnly) {
            link.allowEarly(readBack(s));
            link.command(CommandErase, s.address);
        }
        advance(s.size);
    }
}

// What a sector must hold after a full download: the image's bytes where it covers the
// sector, the erased value elsewhere. (The filter refused images whose elements overlap,
// so there is one answer for every byte.)
std::vector<uint8_t> Worker::expectedContent(const Sector &s) const
{
    std::vector<uint8_t> out(s.size, 0xFF);
    for (const Element &e : op.image.target.elements) {
        const uint32_t n = overlap(e, s);
        if (n == 0)
            continue;
        const uint32_t from = std::max(e.address, s.address);
        std::memcpy(out.data() + (from - s.address), e.data() + (from - e.address), n);
    }
    return out;
}

// Whether the device holds `expected` at `address`, read block by block and given up at the
// first block that differs; `bytesRead` says how much was read. A read the device refuses
// counts as a difference.
bool Worker::readsEqual(Link &link, uint32_t address, const std::vector<uint8_t> &expected, uint64_t &bytesRead)
{
    struct Differs
    {
    };
    std::vector<uint8_t> read(expected.size());
    uint32_t offset = 0;
    bytesRead = 0;
    try {
        link.read(address, read.data(), uint32_t(read.size()), [&](uint32_t n) {
            bytesRead += n;
            if (std::memcmp(read.data() + offset, expected.data() + offset, n) != 0)
                throw Differs{};
            offset += n;
        });
        return true;
    } catch (const Differs &) {
        link.simple(Abort); // out of dfuUPLOAD-IDLE
        return false;
    } catch (const Failure &f) {
        // Only a refused read (read protection, a stalled upload, a short answer) is a
        // difference; a device busy or gone stays a failure.
        const bool refused = f.status == DFU_ERROR_STALL || f.status == DFU_ERROR_DEVICE_STATUS
                             || f.status == DFU_ERROR_DEVICE_STATE;
        if (op.device->gone || !refused)
            throw;
        // The sector is simply written in full.
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.usbError = 0;
        return false;
    }
}

} // namespace dfulib
