// Writing the image sector by sector, and repairing a sector whose early status request
// was stalled.

#include "Operation_p.h"

#include <algorithm>

namespace dfulib {

std::vector<SectorWork> Worker::planBySector() const
{
    std::vector<SectorWork> plan;
    for (const Element &e : op.image.target.elements) {
        op.image.layout.forEachSector(e.address, e.size(), [&](const Sector &s) {
            const uint32_t from = std::max(e.address, s.address);
            auto it = std::find_if(plan.begin(), plan.end(),
                                   [&](const SectorWork &w) { return w.sector.address == s.address; });
            if (it == plan.end())
                it = plan.insert(plan.end(), SectorWork{s, {}, false});
            it->parts.push_back({from, e.data() + (from - e.address), overlap(e, s)});
            return true;
        });
    }
    std::sort(plan.begin(), plan.end(),
              [](const SectorWork &a, const SectorWork &b) { return a.sector.address < b.sector.address; });
    for (SectorWork &w : plan)
        std::sort(w.parts.begin(), w.parts.end(), [](const Part &a, const Part &b) { return a.address < b.address; });
    return plan;
}

// A sector that cannot be erased (option bytes) but can be read is left alone when it
// already holds the image's bytes: writing them again gains nothing.
bool Worker::holdsImage(Link &link, const SectorWork &w)
{
    if ((w.sector.access & AccessErase) || !skipUnchanged() || !readBack(w.sector))
        return false;
    link.allowEarly(true);
    for (const Part &p : w.parts) {
        uint64_t bytesRead = 0;
        if (!readsEqual(link, p.address, std::vector<uint8_t>(p.data, p.data + p.size), bytesRead))
            return false;
    }
    return true;
}

// The write and the verify of an upgrade, or of a download after its erase. Sectors that
// the erase phase kept count as written and verified by the comparison that kept them.
void Worker::writeAndVerify(Link &link, std::vector<SectorWork> &plan)
{
    uint64_t writeBytes = 0, verifyBytes = 0;
    for (const SectorWork &w : plan) {
        for (const Part &p : w.parts) {
            writeBytes += p.size;
            if (readBack(w.sector))
                verifyBytes += p.size;
        }
    }
    begin(DFU_PHASE_WRITE, writeBytes + verifyBytes);
    setPhase(DFU_PHASE_WRITE, writeBytes);
    const Progress progress = [this](uint32_t n) { advance(n); };
    link.takeSentEarly();
    std::vector<const SectorWork *> written;
    for (SectorWork &w : plan) {
        if (w.kept || holdsImage(link, w)) {
            w.kept = true;
            for (const Part &p : w.parts)
                advance(readBack(w.sector) ? 2 * uint64_t(p.size) : p.size, p.size);
            continue;
        }
        link.allowEarly(readBack(w.sector));
        writeSector(link, w, progress);
        written.push_back(&w);
    }
    link.simple(Abort);
    verify(link, written, link.takeSentEarly(), progress);
}

// Erases the sector again and writes all of its part of the image from its start.
void Worker::rewrite(Link &link, const SectorWork &w, const Progress &progress)
{
    if (!(w.sector.access & AccessErase))
        throw Failure{DFU_ERROR_NOT_WRITEABLE};
    link.command(CommandErase, w.sector.address);
    for (const Part &p : w.parts)
        link.write(p.address, p.data, p.size, progress);
}

// Writes one sector's part. A block whose early status request was stalled is read back:
// if it holds what was sent, writing goes on after it; if not (or it cannot be read), the
// sector is erased and written again from its start.
void Worker::writeSector(Link &link, const SectorWork &w, const Progress &progress)
{
    for (const Part &p : w.parts) {
        uint32_t done = 0;
        while (done < p.size) {
            try {
                link.write(p.address + done, p.data + done, p.size - done, progress);
                done = p.size;
            } catch (const BlockStall &stalled) {
                link.honourPollTimeouts("stalled a status request sent before its poll timeout");
                link.simple(Abort);
                const uint32_t offset = stalled.address - p.address;
                if (holds(link, w.sector, stalled.address, p.data + offset, stalled.length)) {
                    progress(stalled.length);
                    done = offset + stalled.length;
                    continue;
                }
                rewrite(link, w, progress);
                return;
            }
        }
    }
}

} // namespace dfulib
