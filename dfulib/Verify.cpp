// Reading back what was written.

#include "Operation_p.h"

#include <algorithm>

namespace dfulib {

// Whether the device holds `size` bytes of `expected` at `address`; false where it cannot
// be read.
bool Worker::holds(Link &link, const Sector &sector, uint32_t address, const uint8_t *expected, uint32_t size,
                   uint32_t *firstDifference)
{
    if (!readBack(sector))
        return false;
    std::vector<uint8_t> readBack(size);
    link.read(address, readBack.data(), size, [](uint32_t) {});
    const auto mismatch = std::mismatch(readBack.begin(), readBack.end(), expected);
    if (mismatch.first == readBack.end())
        return true;
    if (firstDifference)
        *firstDifference = address + uint32_t(mismatch.first - readBack.begin());
    return false;
}

// The sectors whose memory differs from the image, and the first differing address.
std::vector<const SectorWork *> Worker::differing(Link &link, const std::vector<const SectorWork *> &sectors,
                                                 uint32_t &firstDifference)
{
    std::vector<const SectorWork *> out;
    for (const SectorWork *w : sectors) {
        if (!readBack(w->sector))
            continue;
        for (const Part &p : w->parts) {
            uint32_t at = 0;
            if (!holds(link, w->sector, p.address, p.data, p.size, &at)) {
                if (out.empty())
                    firstDifference = at;
                out.push_back(w);
                break;
            }
            advance(p.size);
        }
    }
    return out;
}

// Every written byte that can be read is compared with the image. A sector written with
// early status requests that fails is written once more, waiting as the device asks.
void Worker::verify(Link &link, const std::vector<const SectorWork *> &written, bool wroteEarly,
                    const Progress &progress)
{
    if (!canUpload) {
        // Nothing can be read back: the download stands, but nobody may think it checked.
        dfulib::log(DFU_LOG_WARNING,
            "DFU: %s cannot be read back (no upload in its DFU descriptor): the download was not verified.",
            op.context.devicePath);
        return;
    }
    uint64_t toRead = 0;
    for (const SectorWork *w : written) {
        for (const Part &p : w->parts)
            toRead += readBack(w->sector) ? p.size : 0;
    }
    setPhase(DFU_PHASE_VERIFY, toRead);
    uint32_t firstDifference = 0;
    std::vector<const SectorWork *> bad = differing(link, written, firstDifference);
    if (!bad.empty() && wroteEarly) {
        link.honourPollTimeouts("failed verification after early status requests");
        for (const SectorWork *w : bad)
            rewrite(link, *w, progress);
        link.simple(Abort);
        bad = differing(link, bad, firstDifference);
    }
    if (!bad.empty()) {
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.failedAddress = firstDifference;
        throw Failure{DFU_ERROR_VERIFY};
    }
}

} // namespace dfulib
