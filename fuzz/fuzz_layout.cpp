// Memory-layout strings from a device: parse, then walk the sectors the way a filter does.

#include "MemoryLayout.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    dfulib::MemoryLayout layout;
    if (dfulib::parseMemoryLayout(text, layout) != DFU_OK)
        return 0;
    if (layout.groups.empty() || layout.regionStarts.empty())
        std::abort();
    for (const dfulib::SectorGroup &g : layout.groups) {
        dfulib::Sector s;
        if (!layout.sectorAt(g.start, s) || s.address != g.start || s.size != g.size)
            std::abort();
        const uint64_t lastByte = g.end() - 1;
        if (!layout.sectorAt(uint32_t(lastByte), s) || uint64_t(s.address) + s.size != g.end())
            std::abort();
    }
    // A bounded walk over the first region.
    size_t visited = 0;
    layout.forEachSector(
        layout.groups.front().start, 1u << 20, [&](const dfulib::Sector &) { return ++visited < 4096; });
    return 0;
}
