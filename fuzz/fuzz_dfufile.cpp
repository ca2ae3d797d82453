// .dfu file bytes: the reader must refuse or accept without reading out of bounds, and
// whatever it accepts must come back byte for byte from the writer.

#include "DfuFileFormat.h"

#include <cstdlib>
#include <cstring>

namespace {

void check(const uint8_t *data, size_t size)
{
    dfulib::FileView view;
    if (dfulib::parseFile(data, size, view) != DFU_OK)
        return;
    const std::vector<dfulib::Target> targets = dfulib::copyTargets(view);
    // The reader is lenient about overlapping elements, so that they can be shown; the
    // writer refuses them, and must say so.
    bool overlaps = false;
    for (const dfulib::TargetView &t : view.targets) {
        dfulib::Overlap overlap;
        if (dfulib::findOverlap(dfulib::spansOf(t), overlap)) {
            if (overlap.first >= overlap.second || overlap.second >= t.elements.size())
                std::abort();
            overlaps = true;
        }
    }
    std::vector<uint8_t> rebuilt;
    const DfuStatus built = dfulib::buildFile(view.idVendor, view.idProduct, view.bcdDevice, targets, rebuilt);
    if (overlaps) {
        if (built != DFU_ERROR_OVERLAP)
            std::abort();
        return;
    }
    if (built != DFU_OK)
        std::abort();
    dfulib::FileView again;
    if (dfulib::parseFile(rebuilt.data(), rebuilt.size(), again) != DFU_OK
        || again.targets.size() != view.targets.size())
        std::abort();
    // Names of named targets survive; an unnamed target is written unnamed.
    for (size_t i = 0; i < view.targets.size(); ++i)
        if (again.targets[i].name != view.targets[i].name)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check(data, size);
    // Mutations almost never keep the CRC right: also try each input with its CRC fixed,
    // so that the checks behind it are reached.
    if (size >= dfulib::SuffixSize) {
        std::vector<uint8_t> fixed(data, data + size);
        const uint32_t crc = dfulib::suffixCrc(fixed.data(), size - 4);
        std::memcpy(fixed.data() + size - 4, &crc, 4);
        check(fixed.data(), size);
    }
    return 0;
}
