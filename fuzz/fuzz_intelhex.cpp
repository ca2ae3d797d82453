// Intel HEX text as the firmware team hands it over: any bytes at all.

#include "IntelHex.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<hex::Segment> segments;
    std::string error;
    const bool ok = hex::parse(reinterpret_cast<const char *>(data), size, segments, error);
    if (!ok && (error.empty() || !segments.empty()))
        std::abort();
    // Segments come sorted, apart and non-empty.
    for (size_t i = 0; i < segments.size(); ++i) {
        if (segments[i].bytes.empty())
            std::abort();
        if (i > 0 && uint64_t(segments[i - 1].address) + segments[i - 1].bytes.size() >= segments[i].address)
            std::abort();
    }
    return 0;
}
